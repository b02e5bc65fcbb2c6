// The exported class: one-line forwarders to the process-wide session.
#include "VexaIMPlus.h"

#include "plus/library.h"
#include "protocol/system_texts.h"

using vexa::plus::Session;

IMPlusDLL::IMPlusDLL() { vexa::plus::IMWindowTitle() = vexa::texts::kIMWindowTitle; }
IMPlusDLL::IMPlusDLL(const IMPlusDLL&) {}
IMPlusDLL& IMPlusDLL::operator=(const IMPlusDLL&) { return *this; }
IMPlusDLL::~IMPlusDLL() {}

bool IMPlusDLL::IM_PlusInit(HWND own, HWND host, PROMID role) { return Session().Init(own, host, role); }
void IMPlusDLL::IM_ResetOutPromWnd(HWND host) { Session().SetOtherWindow(host); }
int IMPlusDLL::IM_SendDataToPROM(IMCOMMAND command, const void* data, unsigned int length) {
    return Session().SendDataToPROM(command, data, length);
}

bool IMPlusDLL::PROM_PlusInit(PROMID role, HWND own, HWND im) { return Session().Init(own, im, role); }
void IMPlusDLL::PROM_PlusUnInit() { Session().Uninit(); }
void IMPlusDLL::PROM_SetVexaIMWnd(HWND im) { Session().SetOtherWindow(im); }
void IMPlusDLL::PROM_SendMsgToIM(PROM_VexaIM_MSG notice) { Session().SendMsgToIM(notice); }
int IMPlusDLL::PROM_SendDataToIM(PROGCOMMAND command, const void* data, unsigned int length) {
    return Session().SendDataToIM(command, data, length);
}
void IMPlusDLL::PROM_DealIMCommand(unsigned int length) { Session().DealIMCommand(length); }

int IMPlusDLL::IsExsitOutProgram() const { return Session().IsExsitOutProgram(); }
int IMPlusDLL::IsExsitIMProgram() const { return Session().IsExsitIMProgram(); }
HWND IMPlusDLL::GetOutputHwnd() const { return static_cast<HWND>(Session().GetOutputHwnd()); }
int IMPlusDLL::IsInitPlus() const { return Session().IsInitPlus(); }
IMString IMPlusDLL::IMPlus_GetIMTitle() const {
    const std::string& title = vexa::plus::IMWindowTitle();
    return IMString(title.data(), title.size());
}
void IMPlusDLL::IM_DealProcCommand(unsigned int length) { Session().DealProcCommand(length); }
