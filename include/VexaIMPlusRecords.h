/*
 * VexaIMPlus — the fixed-layout records, message numbers, notification
 * kinds, roles, commands and notices shared by the library, the IM program
 * and host programs.
 *
 * Every record here crosses a process or window boundary, so its layout is
 * binding: packed, little-endian, character fields NUL-terminated GBK within
 * their width. Each record is declared once, here, and its size and offsets are
 * asserted below. The header is plain C as well as C++ and needs no
 * <windows.h>, so the portable protocol core and C callers share it.
 *
 * The same declarations serve the 32-bit and the 64-bit library. Records
 * without pointers are the same bytes on both, so 32-bit and 64-bit programs
 * exchange them (the shared blocks, the host commands). Three records hold a
 * pointer and are handed only to a window of the process that made them
 * (kinds 2, 11 and 14); they stay packed, and a pointer in them takes 8 bytes
 * on a 64-bit target, which moves the fields behind it (asserted below for
 * both targets).
 */
#ifndef VEXAIMPLUS_RECORDS_H
#define VEXAIMPLUS_RECORDS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Window messages (same numbers in both programs). */
#define WM_IMPLUS_NOTIFY 12324 /* 0x3024: library -> own window, wParam = kind */
#define WM_IMPLUS_TOPROM 12325 /* 0x3025: IM program -> host, wParam 59 */
#define WM_IMPLUS_TOIM 12326   /* 0x3026: host -> IM program, wParam 4 or a notice */

#define IMPLUS_TOPROM_WPARAM 59
#define IMPLUS_TOIM_PACKET 4 /* PROM_VexaIM_MSG_PACKET */

/* The enumerations have int's size in C as in C++, where their
   underlying type is fixed to int. */
#ifdef __cplusplus
#define IMPLUS_ENUM(name) enum name : int
#else
#define IMPLUS_ENUM(name) enum name
#endif

/* Role of the loading program: 0 is the IM program (it creates the shared
   blocks); any other value is a host program, agreed with the IM program. */
IMPLUS_ENUM(PROMID) {
    PROMID_IM = 0
};

/* Commands of packets from the IM program to a host. Only 8 is passed on by
   the host-side library (as notification kind 2); others are agreed freely. */
IMPLUS_ENUM(IMCOMMAND) {
    IMCOMMAND_DATA = 8
};

/* Commands of packets from a host to the IM program. */
IMPLUS_ENUM(PROGCOMMAND) {
    PROGCOMMAND_LOGIN = 1,       /* IM_USER_LOGINDATA, 41 bytes */
    PROGCOMMAND_USER_RECORD = 2, /* a record of up to 1448 bytes for the own user */
    PROGCOMMAND_USER_DATA = 3,   /* 248 bytes, the size of IM_USERCHANGEDATA */
    PROGCOMMAND_POSITION = 4     /* IM_USER_POSITION, 296 bytes */
};

/* Simple notices from a host to the IM program (wParam of WM_IMPLUS_TOIM). */
IMPLUS_ENUM(PROM_VexaIM_MSG) {
    PROM_VexaIM_MSG_HOST_UNLOADED = 3, /* posted by the library when a host that launched the IM program unloads */
    PROM_VexaIM_MSG_PACKET = 4         /* announces a packet (sent by PROM_SendDataToIM) */
};

/* How the IM program's connection to the server is protected
   (IM_SetIMSvrSecurity); in force from the next connect on. */
IMPLUS_ENUM(IMSECURITY) {
    IMSECURITY_PLAIN = 0,      /* plain TCP, the default */
    IMSECURITY_TLS_SYSTEM = 1, /* TLS 1.2+; the system's trusted roots and the server's host name */
    IMSECURITY_TLS_PINNED = 2  /* TLS 1.2+; the SHA-256 fingerprint of the server's certificate */
};


/* Notification kinds: wParam of WM_IMPLUS_NOTIFY. Kind 2 means
   IMN_IM_DATA on the host side and IMN_FRIEND_LIST on the IM side. */
enum IMN_KIND {
    IMN_LOGIN_RESULT = 1,
    IMN_IM_DATA = 2,
    IMN_FRIEND_LIST = 2,
    IMN_SERVER_CLOSED = 4,
    IMN_CHAT_MESSAGE = 5,
    IMN_FRIEND_ASK = 6,
    IMN_FRIEND_REPLY = 7,
    IMN_FRIEND_RESULT = 8,
    IMN_1V1_ASK = 9,
    IMN_1V1_REPLY = 11,
    IMN_1V1_STOP = 12,
    IMN_SENDASK_LIST = 14,
    IMN_FILE_ASK = 15,
    IMN_ADDBL_RESULT = 16,
    IMN_DELFL_RESULT = 17,
    IMN_INVITE = 18,
    IMN_CHANGEINFO_RESULT = 19,
    IMN_USERINFO_RESULT = 20,
    IMN_USER_POSITION = 21,
    IMN_USER_STATUS = 22,
    IMN_SERVER_SIGNAL = 23,
    IMN_HOST_LOGIN = 51,
    IMN_HOST_USERDATA = 52,
    IMN_HOST_POSITION = 53,
    IMN_HOST_RECORD = 54
};

/* Size of the record that a host's command 2 carries (kind 54). */
#define IM_HOST_RECORD_SIZE 1448

#pragma pack(push, 1)

/* Login data: passed to IM_LoginSvr, and a host's command-1 payload. */
typedef struct IM_USER_LOGINDATA {
    char userId[21];
    char password[20];
} IM_USER_LOGINDATA;

/* Kind 1. Also the head shared by every result record. */
typedef struct IM_LOGIN_RESULT {
    int32_t result; /* 1 connected and logged in, 0 failed */
    uint8_t reserved[24];
    char message[256];
} IM_LOGIN_RESULT;

/* The rich-edit character format (the layout of the Win32 CHARFORMATA). */
typedef struct IM_CHARFORMAT {
    uint32_t cbSize;
    uint32_t dwMask;
    uint32_t dwEffects;
    int32_t yHeight;
    int32_t yOffset;
    uint32_t crTextColor;
    uint8_t bCharSet;
    uint8_t bPitchAndFamily;
    char szFaceName[32];
    uint8_t padding[2];
} IM_CHARFORMAT;

typedef struct IM_FILE_INFO {
    int32_t value1;
    char text1[100];
    char text2[33];
    char text3[31];
    int32_t value2;
} IM_FILE_INFO;

/* A chat message: sent with IM_SendChatMsg, received as kind 5. */
typedef struct IM_CHAT_DATA {
    int32_t id;
    char peer[21];
    char time[32];
    uint8_t padding[3];
    int32_t msgType;
    IM_CHARFORMAT format;
    char content[1024];
    int32_t contentLength; /* 0 marks a file message */
    IM_FILE_INFO file;
} IM_CHAT_DATA;

/* Sent with IM_ChangeStatus; received as kind 22. */
typedef struct IM_USER_CHANGESTATUS {
    char user[21];
    uint8_t padding[3];
    int32_t status;
    char note[256];
} IM_USER_CHANGESTATUS;

/* Sent with IM_ChangePosition and a host's command 4; received as kind 21. */
typedef struct IM_USER_POSITION {
    char user[21];
    uint8_t id;
    char ms[256];
    uint8_t padding[2];
    int32_t pos0;
    int32_t pos1;
    int32_t pos2;
    int32_t pos3;
} IM_USER_POSITION;

/* Sent with IM_ChangeUserInfo and a host's command 3. */
typedef struct IM_USERCHANGEDATA {
    char user[21];
    char nickname[21];
    char oldpass[21];
    char newpass[21];
    char littleword[150];
    char birthday[9];
    uint8_t padding;
    int32_t afset;
} IM_USERCHANGEDATA;

/* One user as the server describes it in a <user> element. */
typedef struct IM_USER_INFO {
    int32_t id;
    char name[21];
    char nickname[41];
    char littleword[150];
    uint8_t sex;
    char birthday[9];
    char photo[256];
    uint8_t padding1[2];
    IM_USER_POSITION pos;
    int32_t userClass;
    int32_t vip;
    int32_t status;
    int32_t style;
    int32_t afset;
    uint8_t vp;
    uint8_t lt;
    uint8_t padding2[2];
} IM_USER_INFO;

/* Kind 2 on the IM side: one batch of the friend list. */
typedef struct IM_FRIENDLIST_DATA {
    int32_t count;
    IM_USER_INFO* users; /* count records, valid during the notification */
    int32_t over;
} IM_FRIENDLIST_DATA;

/* Kind 6. */
typedef struct IM_FRIEND_ASK_DATA {
    char fromUser[21];
    char toUser[21];
    char askText[600];
    uint8_t padding[2];
    IM_USER_INFO userInfo;
} IM_FRIEND_ASK_DATA;

/* Kinds 7 and 8. */
typedef struct IM_FRIEND_REPLY_DATA {
    char user[21];
    char peer[21];
    uint8_t padding[2];
    int32_t agreed;
    char replyText[600];
} IM_FRIEND_REPLY_DATA;

/* Kinds 9 and 12. */
typedef struct IM_1V1_DATA {
    char firstUser[21];
    char secondUser[21];
    uint8_t padding[2];
    IM_USER_INFO userInfo;
} IM_1V1_DATA;

/* Kind 11. textPointer is valid only during the notification. */
typedef struct IM_1V1_REPLY_DATA {
    char user[21];
    char peer[21];
    uint8_t padding[2];
    int32_t agreed;
    const char* textPointer;
    int32_t number1;
    int32_t number2;
} IM_1V1_REPLY_DATA;

/* Kinds 16 and 17. */
typedef struct IM_PEER_RESULT {
    int32_t result;
    int32_t value;
    char peer[20];
    char message[256];
} IM_PEER_RESULT;

/* Kind 18. */
typedef struct IM_INVITE_DATA {
    char fromUser[21];
    char toUser[21];
} IM_INVITE_DATA;

/* Kind 15: a chat message that offers a file. */
typedef struct IM_FILE_ASK_DATA {
    uint8_t reserved[8];
    char fromUser[21];
    char toUser[21];
    uint8_t padding[2];
    IM_FILE_INFO file;
} IM_FILE_ASK_DATA;

/* Kind 19. */
typedef struct IM_CHANGEINFO_RESULT {
    int32_t result;
    uint8_t reserved[24];
    char message[256];
    IM_USERCHANGEDATA data;
} IM_CHANGEINFO_RESULT;

/* Kind 20. */
typedef struct IM_USERINFO_RESULT {
    int32_t result;
    uint8_t reserved[24];
    char message[256];
    IM_USER_INFO user;
} IM_USERINFO_RESULT;

/* One entry of the kind-14 list. */
typedef struct IM_SENDASK_ITEM {
    char text[32];
    int32_t value;
} IM_SENDASK_ITEM;

/* The table's slots are called the way a C++ compiler calls member
   functions on 32-bit x86: the object in ECX, the callee cleaning the stack. */
#if defined(_M_IX86) || defined(__i386__)
#define IMPLUS_THISCALL __thiscall
#else
#define IMPLUS_THISCALL
#endif

/* The five slots of the kind-14 list object's table, in order: run-time
   class, deleting destructor, serialisation, validity check, dump. Readers
   only need the entries; the slots are there for callers that expect the
   framework's array object. */
typedef struct IM_SENDASK_LIST_VTABLE {
    void* (IMPLUS_THISCALL* GetRuntimeClass)(const void* self);
    void (IMPLUS_THISCALL* DeletingDestructor)(void* self, unsigned int flags);
    void (IMPLUS_THISCALL* Serialize)(void* self, void* archive);
    void (IMPLUS_THISCALL* AssertValid)(const void* self);
    void (IMPLUS_THISCALL* Dump)(const void* self, void* context);
} IM_SENDASK_LIST_VTABLE;

/* Kind 14: lParam is the address of this array object. */
typedef struct IM_SENDASK_LIST {
    const IM_SENDASK_LIST_VTABLE* vtable;
    IM_SENDASK_ITEM* items; /* count contiguous entries in body order */
    int32_t count;
    int32_t allocated;
    int32_t growBy;
} IM_SENDASK_LIST;

#pragma pack(pop)

#ifdef __cplusplus
} /* extern "C" */
#endif

#if defined(__cplusplus)
#define IMPLUS_LAYOUT(type, field, offset) static_assert(offsetof(type, field) == (offset), #type "." #field)
#define IMPLUS_SIZE(type, size) static_assert(sizeof(type) == (size), "sizeof " #type)
#define IMPLUS_SAME(a, b) static_assert((a) == (b), #a " is " #b)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define IMPLUS_LAYOUT(type, field, offset) _Static_assert(offsetof(type, field) == (offset), #type "." #field)
#define IMPLUS_SIZE(type, size) _Static_assert(sizeof(type) == (size), "sizeof " #type)
#define IMPLUS_SAME(a, b) _Static_assert((a) == (b), #a " is " #b)
#else
/* C89: a negative array size stops the build on a wrong layout. */
#define IMPLUS_CAT2(a, b) a##b
#define IMPLUS_CAT(a, b) IMPLUS_CAT2(a, b)
#define IMPLUS_LAYOUT(type, field, offset) typedef char IMPLUS_CAT(implus_layout_, __LINE__)[(offsetof(type, field) == (offset)) ? 1 : -1]
#define IMPLUS_SIZE(type, size) typedef char IMPLUS_CAT(implus_size_, __LINE__)[(sizeof(type) == (size)) ? 1 : -1]
#define IMPLUS_SAME(a, b) typedef char IMPLUS_CAT(implus_same_, __LINE__)[((a) == (b)) ? 1 : -1]
#endif

/* The message parameter stays a number for the preprocessor; it is the notice. */
IMPLUS_SAME(IMPLUS_TOIM_PACKET, PROM_VexaIM_MSG_PACKET);
IMPLUS_SIZE(enum PROMID, 4);
IMPLUS_SIZE(enum PROGCOMMAND, 4);
IMPLUS_SIZE(enum IMSECURITY, 4);

IMPLUS_SIZE(IM_USER_LOGINDATA, 41);
IMPLUS_LAYOUT(IM_USER_LOGINDATA, password, 21);

IMPLUS_SIZE(IM_LOGIN_RESULT, 284);
IMPLUS_LAYOUT(IM_LOGIN_RESULT, reserved, 4);
IMPLUS_LAYOUT(IM_LOGIN_RESULT, message, 28);

IMPLUS_SIZE(IM_CHARFORMAT, 60);
IMPLUS_LAYOUT(IM_CHARFORMAT, dwMask, 4);
IMPLUS_LAYOUT(IM_CHARFORMAT, dwEffects, 8);
IMPLUS_LAYOUT(IM_CHARFORMAT, yHeight, 12);
IMPLUS_LAYOUT(IM_CHARFORMAT, yOffset, 16);
IMPLUS_LAYOUT(IM_CHARFORMAT, crTextColor, 20);
IMPLUS_LAYOUT(IM_CHARFORMAT, bCharSet, 24);
IMPLUS_LAYOUT(IM_CHARFORMAT, bPitchAndFamily, 25);
IMPLUS_LAYOUT(IM_CHARFORMAT, szFaceName, 26);
IMPLUS_LAYOUT(IM_CHARFORMAT, padding, 58);

IMPLUS_SIZE(IM_FILE_INFO, 172);
IMPLUS_LAYOUT(IM_FILE_INFO, text1, 4);
IMPLUS_LAYOUT(IM_FILE_INFO, text2, 104);
IMPLUS_LAYOUT(IM_FILE_INFO, text3, 137);
IMPLUS_LAYOUT(IM_FILE_INFO, value2, 168);

IMPLUS_SIZE(IM_CHAT_DATA, 1324);
IMPLUS_LAYOUT(IM_CHAT_DATA, peer, 4);
IMPLUS_LAYOUT(IM_CHAT_DATA, time, 25);
IMPLUS_LAYOUT(IM_CHAT_DATA, padding, 57);
IMPLUS_LAYOUT(IM_CHAT_DATA, msgType, 60);
IMPLUS_LAYOUT(IM_CHAT_DATA, format, 64);
IMPLUS_LAYOUT(IM_CHAT_DATA, content, 124);
IMPLUS_LAYOUT(IM_CHAT_DATA, contentLength, 1148);
IMPLUS_LAYOUT(IM_CHAT_DATA, file, 1152);

IMPLUS_SIZE(IM_USER_CHANGESTATUS, 284);
IMPLUS_LAYOUT(IM_USER_CHANGESTATUS, padding, 21);
IMPLUS_LAYOUT(IM_USER_CHANGESTATUS, status, 24);
IMPLUS_LAYOUT(IM_USER_CHANGESTATUS, note, 28);

IMPLUS_SIZE(IM_USER_POSITION, 296);
IMPLUS_LAYOUT(IM_USER_POSITION, id, 21);
IMPLUS_LAYOUT(IM_USER_POSITION, ms, 22);
IMPLUS_LAYOUT(IM_USER_POSITION, padding, 278);
IMPLUS_LAYOUT(IM_USER_POSITION, pos0, 280);
IMPLUS_LAYOUT(IM_USER_POSITION, pos1, 284);
IMPLUS_LAYOUT(IM_USER_POSITION, pos2, 288);
IMPLUS_LAYOUT(IM_USER_POSITION, pos3, 292);

IMPLUS_SIZE(IM_USERCHANGEDATA, 248);
IMPLUS_LAYOUT(IM_USERCHANGEDATA, nickname, 21);
IMPLUS_LAYOUT(IM_USERCHANGEDATA, oldpass, 42);
IMPLUS_LAYOUT(IM_USERCHANGEDATA, newpass, 63);
IMPLUS_LAYOUT(IM_USERCHANGEDATA, littleword, 84);
IMPLUS_LAYOUT(IM_USERCHANGEDATA, birthday, 234);
IMPLUS_LAYOUT(IM_USERCHANGEDATA, padding, 243);
IMPLUS_LAYOUT(IM_USERCHANGEDATA, afset, 244);

IMPLUS_SIZE(IM_USER_INFO, 804);
IMPLUS_LAYOUT(IM_USER_INFO, name, 4);
IMPLUS_LAYOUT(IM_USER_INFO, nickname, 25);
IMPLUS_LAYOUT(IM_USER_INFO, littleword, 66);
IMPLUS_LAYOUT(IM_USER_INFO, sex, 216);
IMPLUS_LAYOUT(IM_USER_INFO, birthday, 217);
IMPLUS_LAYOUT(IM_USER_INFO, photo, 226);
IMPLUS_LAYOUT(IM_USER_INFO, padding1, 482);
IMPLUS_LAYOUT(IM_USER_INFO, pos, 484);
IMPLUS_LAYOUT(IM_USER_INFO, userClass, 780);
IMPLUS_LAYOUT(IM_USER_INFO, vip, 784);
IMPLUS_LAYOUT(IM_USER_INFO, status, 788);
IMPLUS_LAYOUT(IM_USER_INFO, style, 792);
IMPLUS_LAYOUT(IM_USER_INFO, afset, 796);
IMPLUS_LAYOUT(IM_USER_INFO, vp, 800);
IMPLUS_LAYOUT(IM_USER_INFO, lt, 801);
IMPLUS_LAYOUT(IM_USER_INFO, padding2, 802);

IMPLUS_SIZE(IM_FRIEND_ASK_DATA, 1448);
IMPLUS_LAYOUT(IM_FRIEND_ASK_DATA, toUser, 21);
IMPLUS_LAYOUT(IM_FRIEND_ASK_DATA, askText, 42);
IMPLUS_LAYOUT(IM_FRIEND_ASK_DATA, padding, 642);
IMPLUS_LAYOUT(IM_FRIEND_ASK_DATA, userInfo, 644);

IMPLUS_SIZE(IM_FRIEND_REPLY_DATA, 648);
IMPLUS_LAYOUT(IM_FRIEND_REPLY_DATA, peer, 21);
IMPLUS_LAYOUT(IM_FRIEND_REPLY_DATA, agreed, 44);
IMPLUS_LAYOUT(IM_FRIEND_REPLY_DATA, replyText, 48);

IMPLUS_SIZE(IM_1V1_DATA, 848);
IMPLUS_LAYOUT(IM_1V1_DATA, secondUser, 21);
IMPLUS_LAYOUT(IM_1V1_DATA, userInfo, 44);

IMPLUS_LAYOUT(IM_1V1_REPLY_DATA, peer, 21);
IMPLUS_LAYOUT(IM_1V1_REPLY_DATA, agreed, 44);
IMPLUS_LAYOUT(IM_1V1_REPLY_DATA, textPointer, 48);

IMPLUS_SIZE(IM_PEER_RESULT, 284);
IMPLUS_LAYOUT(IM_PEER_RESULT, value, 4);
IMPLUS_LAYOUT(IM_PEER_RESULT, peer, 8);
IMPLUS_LAYOUT(IM_PEER_RESULT, message, 28);

IMPLUS_SIZE(IM_INVITE_DATA, 42);
IMPLUS_LAYOUT(IM_INVITE_DATA, toUser, 21);

IMPLUS_SIZE(IM_FILE_ASK_DATA, 224);
IMPLUS_LAYOUT(IM_FILE_ASK_DATA, fromUser, 8);
IMPLUS_LAYOUT(IM_FILE_ASK_DATA, toUser, 29);
IMPLUS_LAYOUT(IM_FILE_ASK_DATA, padding, 50);
IMPLUS_LAYOUT(IM_FILE_ASK_DATA, file, 52);

IMPLUS_SIZE(IM_CHANGEINFO_RESULT, 532);
IMPLUS_LAYOUT(IM_CHANGEINFO_RESULT, message, 28);
IMPLUS_LAYOUT(IM_CHANGEINFO_RESULT, data, 284);

IMPLUS_SIZE(IM_USERINFO_RESULT, 1088);
IMPLUS_LAYOUT(IM_USERINFO_RESULT, message, 28);
IMPLUS_LAYOUT(IM_USERINFO_RESULT, user, 284);

IMPLUS_SIZE(IM_SENDASK_ITEM, 36);
IMPLUS_LAYOUT(IM_SENDASK_ITEM, value, 32);

IMPLUS_LAYOUT(IM_FRIENDLIST_DATA, users, 4);

/* The pointer-bearing records: 4-byte pointers on a 32-bit target, 8-byte
   ones on a 64-bit target, packed on both. */
#if UINTPTR_MAX == 0xFFFFFFFFu
IMPLUS_SIZE(IM_1V1_REPLY_DATA, 60);
IMPLUS_LAYOUT(IM_1V1_REPLY_DATA, number1, 52);
IMPLUS_LAYOUT(IM_1V1_REPLY_DATA, number2, 56);
IMPLUS_SIZE(IM_FRIENDLIST_DATA, 12);
IMPLUS_LAYOUT(IM_FRIENDLIST_DATA, over, 8);
IMPLUS_SIZE(IM_SENDASK_LIST_VTABLE, 20);
IMPLUS_SIZE(IM_SENDASK_LIST, 20);
IMPLUS_LAYOUT(IM_SENDASK_LIST, items, 4);
IMPLUS_LAYOUT(IM_SENDASK_LIST, count, 8);
IMPLUS_LAYOUT(IM_SENDASK_LIST, allocated, 12);
IMPLUS_LAYOUT(IM_SENDASK_LIST, growBy, 16);
#elif UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
IMPLUS_SIZE(IM_1V1_REPLY_DATA, 64);
IMPLUS_LAYOUT(IM_1V1_REPLY_DATA, number1, 56);
IMPLUS_LAYOUT(IM_1V1_REPLY_DATA, number2, 60);
IMPLUS_SIZE(IM_FRIENDLIST_DATA, 16);
IMPLUS_LAYOUT(IM_FRIENDLIST_DATA, over, 12);
IMPLUS_SIZE(IM_SENDASK_LIST_VTABLE, 40);
IMPLUS_SIZE(IM_SENDASK_LIST, 28);
IMPLUS_LAYOUT(IM_SENDASK_LIST, items, 8);
IMPLUS_LAYOUT(IM_SENDASK_LIST, count, 16);
IMPLUS_LAYOUT(IM_SENDASK_LIST, allocated, 20);
IMPLUS_LAYOUT(IM_SENDASK_LIST, growBy, 24);
#else
#error "VexaIMPlusRecords.h: pointers of 4 or 8 bytes only"
#endif

#endif /* VEXAIMPLUS_RECORDS_H */
