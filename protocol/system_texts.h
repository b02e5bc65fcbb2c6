// The library's own user-visible and debugger texts, as GBK bytes.
//
// Each text is defined once, here, with its readable form beside it; a native
// test converts every one from code page 936 and compares it with the
// readable text. Texts with a value in the middle are split around the value,
// so callers join pieces instead of using the text as a format string.
#pragma once

#include <string>
#include <string_view>

namespace vexa::texts {

// 启动失败,错误号:(  <code>  )！
inline constexpr char kStartFailedBefore[] = "\xc6\xf4\xb6\xaf\xca\xa7\xb0\xdc\x2c\xb4\xed\xce\xf3\xba\xc5\x3a\x28";
inline constexpr char kStartFailedAfter[] = "\x29\xa3\xa1";
// VexaIM (caption of the start-up failure box)
inline constexpr char kStartFailedCaption[] = "VexaIM";
// VexaIM_V1.0Beta (the IM window's caption)
inline constexpr char kIMWindowTitle[] = "VexaIM_V1.0Beta";
// 连接服务器失败
inline constexpr char kConnectFailed[] = "\xc1\xac\xbd\xd3\xb7\xfe\xce\xf1\xc6\xf7\xca\xa7\xb0\xdc";
// 请输入ip和端口!
inline constexpr char kEnterAddressAndPort[] = "\xc7\xeb\xca\xe4\xc8\xeb\x69\x70\xba\xcd\xb6\xcb\xbf\xda\x21";
// 创建Socket对象失败!
inline constexpr char kSocketCreateFailed[] = "\xb4\xb4\xbd\xa8\x53\x6f\x63\x6b\x65\x74\xb6\xd4\xcf\xf3\xca\xa7\xb0\xdc\x21";
// ==>成功发送心跳包数据！\r\n
inline constexpr char kKeepAliveSent[] =
    "\x3d\x3d\x3e\xb3\xc9\xb9\xa6\xb7\xa2\xcb\xcd\xd0\xc4\xcc\xf8\xb0\xfc\xca\xfd\xbe\xdd\xa3\xa1\x0d\x0a";
// ***>发送心跳包数据失败！\r\n
inline constexpr char kKeepAliveFailed[] =
    "\x2a\x2a\x2a\x3e\xb7\xa2\xcb\xcd\xd0\xc4\xcc\xf8\xb0\xfc\xca\xfd\xbe\xdd\xca\xa7\xb0\xdc\xa3\xa1\x0d\x0a";
// 非法数据包:nPageLen:  <length>  ,nLen:  <size - 1>
inline constexpr char kBadPacketBefore[] = "\xb7\xc7\xb7\xa8\xca\xfd\xbe\xdd\xb0\xfc\x3a\x6e\x50\x61\x67\x65\x4c\x65\x6e\x3a";
inline constexpr char kBadPacketMiddle[] = "\x2c\x6e\x4c\x65\x6e\x3a";
// IM_DealRevChangeStatus\r\n
inline constexpr char kStatusChangeEntry[] = "IM_DealRevChangeStatus\r\n";
// 用户名:<user>  状态值:<status>  留言:<note>\r\n
inline constexpr char kStatusUser[] = "\xd3\xc3\xbb\xa7\xc3\xfb\x3a";
inline constexpr char kStatusValue[] = "\x20\x20\xd7\xb4\xcc\xac\xd6\xb5\x3a";
inline constexpr char kStatusNote[] = "\x20\x20\xc1\xf4\xd1\xd4\x3a";
inline constexpr char kStatusEnd[] = "\r\n";
// 安装文件<  <path>  >不存在，请重新下载！
inline constexpr char kInstallerMissingBefore[] = "\xb0\xb2\xd7\xb0\xce\xc4\xbc\xfe\x3c";
inline constexpr char kInstallerMissingAfter[] =
    "\x3e\xb2\xbb\xb4\xe6\xd4\xda\xa3\xac\xc7\xeb\xd6\xd8\xd0\xc2\xcf\xc2\xd4\xd8\xa3\xa1";
// 系统提示 (caption of the installer box)
inline constexpr char kSystemNoticeCaption[] = "\xcf\xb5\xcd\xb3\xcc\xe1\xca\xbe";
// Why an encrypted connection was refused (kind 1, result 0).
// 加密连接失败:握手失败
inline constexpr char kTlsHandshakeFailed[] = "\xbc\xd3\xc3\xdc\xc1\xac\xbd\xd3\xca\xa7\xb0\xdc\x3a\xce\xd5\xca\xd6\xca\xa7\xb0\xdc";
// 加密连接失败:服务器证书不受信任
inline constexpr char kTlsUntrusted[] =
    "\xbc\xd3\xc3\xdc\xc1\xac\xbd\xd3\xca\xa7\xb0\xdc\x3a\xb7\xfe\xce\xf1\xc6\xf7\xd6\xa4\xca\xe9\xb2\xbb\xca\xdc\xd0\xc5\xc8\xce";
// 加密连接失败:服务器证书与主机名不符
inline constexpr char kTlsWrongName[] =
    "\xbc\xd3\xc3\xdc\xc1\xac\xbd\xd3\xca\xa7\xb0\xdc\x3a\xb7\xfe\xce\xf1\xc6\xf7\xd6\xa4\xca\xe9\xd3\xeb\xd6\xf7\xbb\xfa\xc3\xfb\xb2\xbb\xb7\xfb";
// 加密连接失败:服务器证书指纹不符
inline constexpr char kTlsWrongFingerprint[] =
    "\xbc\xd3\xc3\xdc\xc1\xac\xbd\xd3\xca\xa7\xb0\xdc\x3a\xb7\xfe\xce\xf1\xc6\xf7\xd6\xa4\xca\xe9\xd6\xb8\xce\xc6\xb2\xbb\xb7\xfb";
// 加密连接失败:加密设置无效 (IM_SetIMSvrSecurity refused the last setting)
inline constexpr char kSecuritySettingInvalid[] =
    "\xbc\xd3\xc3\xdc\xc1\xac\xbd\xd3\xca\xa7\xb0\xdc\x3a\xbc\xd3\xc3\xdc\xc9\xe8\xd6\xc3\xce\xde\xd0\xa7";

// The whole texts with their values in place.
inline std::string StartFailedText(std::string_view code) {
    return std::string(kStartFailedBefore).append(code).append(kStartFailedAfter);
}
inline std::string BadPacketText(int length, int sizeLessOne) {
    return std::string(kBadPacketBefore) + std::to_string(length) + kBadPacketMiddle + std::to_string(sizeLessOne);
}
inline std::string StatusChangeLine(std::string_view user, std::string_view status, std::string_view note) {
    return std::string(kStatusUser).append(user).append(kStatusValue).append(status).append(kStatusNote)
        .append(note).append(kStatusEnd);
}
inline std::string InstallerMissingText(std::string_view path) {
    return std::string(kInstallerMissingBefore).append(path).append(kInstallerMissingAfter);
}

}  // namespace vexa::texts
