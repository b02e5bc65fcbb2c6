// Every system text, converted from code page 936 with glibc's iconv, against
// its readable UTF-8 form: no GBK byte of a text shown to users is wrong.
#include "protocol/system_texts.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <cerrno>
#include <string>
#include <vector>

namespace vexa::texts {
namespace {

// Converts GBK bytes to UTF-8; an unconvertible or cut byte fails the test
// through the returned flag.
bool Utf8FromGbk(const std::string& gbk, std::string& utf8) {
    iconv_t cd = iconv_open("UTF-8", "CP936");
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    std::vector<char> out(gbk.size() * 4 + 4);
    char* in = const_cast<char*>(gbk.data());
    std::size_t inLeft = gbk.size();
    char* outPtr = out.data();
    std::size_t outLeft = out.size();
    const std::size_t result = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    iconv_close(cd);
    if (result == static_cast<std::size_t>(-1) || inLeft != 0) return false;
    utf8.assign(out.data(), outPtr);
    return true;
}

struct TextCase {
    const char* name;
    std::string gbk;
    const char* readable;
};

const TextCase kTexts[] = {
    {"kStartFailedBefore", kStartFailedBefore, u8"启动失败,错误号:("},
    {"kStartFailedAfter", kStartFailedAfter, u8")！"},
    {"kStartFailedCaption", kStartFailedCaption, u8"VexaIM"},
    {"kIMWindowTitle", kIMWindowTitle, u8"VexaIM_V1.0Beta"},
    {"kConnectFailed", kConnectFailed, u8"连接服务器失败"},
    {"kEnterAddressAndPort", kEnterAddressAndPort, u8"请输入ip和端口!"},
    {"kSocketCreateFailed", kSocketCreateFailed, u8"创建Socket对象失败!"},
    {"kKeepAliveSent", kKeepAliveSent, u8"==>成功发送心跳包数据！\r\n"},
    {"kKeepAliveFailed", kKeepAliveFailed, u8"***>发送心跳包数据失败！\r\n"},
    {"kBadPacketBefore", kBadPacketBefore, u8"非法数据包:nPageLen:"},
    {"kBadPacketMiddle", kBadPacketMiddle, u8",nLen:"},
    {"kStatusChangeEntry", kStatusChangeEntry, u8"IM_DealRevChangeStatus\r\n"},
    {"kStatusUser", kStatusUser, u8"用户名:"},
    {"kStatusValue", kStatusValue, u8"  状态值:"},
    {"kStatusNote", kStatusNote, u8"  留言:"},
    {"kStatusEnd", kStatusEnd, u8"\r\n"},
    {"kInstallerMissingBefore", kInstallerMissingBefore, u8"安装文件<"},
    {"kInstallerMissingAfter", kInstallerMissingAfter, u8">不存在，请重新下载！"},
    {"kSystemNoticeCaption", kSystemNoticeCaption, u8"系统提示"},
    {"kTlsHandshakeFailed", kTlsHandshakeFailed, u8"加密连接失败:握手失败"},
    {"kTlsUntrusted", kTlsUntrusted, u8"加密连接失败:服务器证书不受信任"},
    {"kTlsWrongName", kTlsWrongName, u8"加密连接失败:服务器证书与主机名不符"},
    {"kTlsWrongFingerprint", kTlsWrongFingerprint, u8"加密连接失败:服务器证书指纹不符"},
    {"kSecuritySettingInvalid", kSecuritySettingInvalid, u8"加密连接失败:加密设置无效"},
    // The whole texts with values in place.
    {"StartFailedText", StartFailedText("Error:201"), u8"启动失败,错误号:(Error:201)！"},
    {"BadPacketText", BadPacketText(12, 16), u8"非法数据包:nPageLen:12,nLen:16"},
    {"StatusChangeLine", StatusChangeLine("u1", "2", "\xC3\xA6"), u8"用户名:u1  状态值:2  留言:忙\r\n"},
    {"InstallerMissingText", InstallerMissingText("C:\\setup.exe"), u8"安装文件<C:\\setup.exe>不存在，请重新下载！"},
};

TEST(SystemTexts, ConvertFromCp936ToTheirReadableText) {
    for (const auto& c : kTexts) {
        std::string utf8;
        ASSERT_TRUE(Utf8FromGbk(c.gbk, utf8)) << c.name << ": not valid CP936";
        EXPECT_EQ(utf8, c.readable) << c.name;
    }
}

// The conversion itself must be able to fail, or the check above proves nothing.
TEST(SystemTexts, ConverterRejectsBrokenGbk) {
    std::string utf8;
    EXPECT_FALSE(Utf8FromGbk("\xC1", utf8));      // a lead byte with nothing after it
    EXPECT_TRUE(Utf8FromGbk("\xC1\xAC", utf8));
    EXPECT_EQ(utf8, u8"连");
}

}  // namespace
}  // namespace vexa::texts
