/* The few Win32 declarations msvc_caller.c needs. The mingw-w64 headers do
   not compile in MSVC mode, and no Windows SDK is at hand here. */
typedef struct HWND__* HWND;
typedef void* HANDLE;
typedef unsigned long DWORD;
#define STD_OUTPUT_HANDLE ((DWORD)-11)
__declspec(dllimport) HANDLE __stdcall GetStdHandle(DWORD);
__declspec(dllimport) int __stdcall WriteFile(HANDLE, const void*, DWORD, DWORD*, void*);
__declspec(dllimport) void __stdcall ExitProcess(unsigned int);
#define NULL ((void*)0)
