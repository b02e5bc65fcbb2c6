// The reference server's own texts, as GBK bytes.
//
// These are the reasons the server gives in its failure answers and the demo
// accounts' profile texts. Each is defined once with its readable form beside
// it; a native test converts every one from code page 936 and compares it
// with the readable text.
#pragma once

namespace vexa::server::texts {

// Status characters of a refused login (the first byte of a code-2 answer).
inline constexpr char kLoginNoSuchAccount = '1';
inline constexpr char kLoginWrongPassword = '2';
inline constexpr char kLoginBadData = '3';
inline constexpr char kLoginAlreadyLoggedIn = '4';
inline constexpr char kLoginThrottled = '5';
inline constexpr char kLoginUnavailable = '6';
inline constexpr char kLoginDisabled = '7';

// 用户不存在
inline constexpr char kNoSuchAccount[] = "\xd3\xc3\xbb\xa7\xb2\xbb\xb4\xe6\xd4\xda";
// 密码错误
inline constexpr char kWrongPassword[] = "\xc3\xdc\xc2\xeb\xb4\xed\xce\xf3";
// 登录数据无效
inline constexpr char kBadLoginData[] = "\xb5\xc7\xc2\xbc\xca\xfd\xbe\xdd\xce\xde\xd0\xa7";
// 本连接已登录
inline constexpr char kAlreadyLoggedIn[] = "\xb1\xbe\xc1\xac\xbd\xd3\xd2\xd1\xb5\xc7\xc2\xbc";
// 登录失败次数过多，请稍后再试
inline constexpr char kTooManyAttempts[] =
    "\xb5\xc7\xc2\xbc\xca\xa7\xb0\xdc\xb4\xce\xca\xfd\xb9\xfd\xb6\xe0\xa3\xac\xc7\xeb\xc9\xd4\xba\xf3\xd4\xd9\xca\xd4";
// 服务器暂时不可用，请稍后再试
inline constexpr char kUnavailable[] =
    "\xb7\xfe\xce\xf1\xc6\xf7\xd4\xdd\xca\xb1\xb2\xbb\xbf\xc9\xd3\xc3\xa3\xac\xc7\xeb\xc9\xd4\xba\xf3\xd4\xd9\xca\xd4";
// 账号已被停用
inline constexpr char kAccountDisabled[] = "\xd5\xcb\xba\xc5\xd2\xd1\xb1\xbb\xcd\xa3\xd3\xc3";
// 不能对自己操作
inline constexpr char kNotYourself[] = "\xb2\xbb\xc4\xdc\xb6\xd4\xd7\xd4\xbc\xba\xb2\xd9\xd7\xf7";
// 对方不是您的好友
inline constexpr char kNotAFriend[] = "\xb6\xd4\xb7\xbd\xb2\xbb\xca\xc7\xc4\xfa\xb5\xc4\xba\xc3\xd3\xd1";
// 资料格式错误
inline constexpr char kBadProfileData[] = "\xd7\xca\xc1\xcf\xb8\xf1\xca\xbd\xb4\xed\xce\xf3";
// 原密码错误
inline constexpr char kOldPasswordWrong[] = "\xd4\xad\xc3\xdc\xc2\xeb\xb4\xed\xce\xf3";
// 服务器忙，请稍后再试
inline constexpr char kBusy[] = "\xb7\xfe\xce\xf1\xc6\xf7\xc3\xa6\xa3\xac\xc7\xeb\xc9\xd4\xba\xf3\xd4\xd9\xca\xd4";

// Demo accounts' nicknames and one personal text.
// 爱丽丝
inline constexpr char kNickAlice[] = "\xb0\xae\xc0\xf6\xcb\xbf";
// 鲍勃
inline constexpr char kNickBob[] = "\xb1\xab\xb2\xaa";
// 卡罗尔
inline constexpr char kNickCarol[] = "\xbf\xa8\xc2\xde\xb6\xfb";
// 你好，我是爱丽丝
inline constexpr char kWordAlice[] = "\xc4\xe3\xba\xc3\xa3\xac\xce\xd2\xca\xc7\xb0\xae\xc0\xf6\xcb\xbf";

}  // namespace vexa::server::texts
