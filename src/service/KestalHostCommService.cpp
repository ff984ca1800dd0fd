// The exported class: every operation forwards to the service's implementation, which holds the
// state (see KestalHostCommServiceImpl.h), so the class's layout is one pointer.
#include "kestal/KestalHostCommService.h"

#include <string>

#include "service/KestalHostCommServiceImpl.h"

KestalHostCommService KestalHostCommService::m_instance;

KestalHostCommService::KestalHostCommService() : m_impl(new Impl()) {}

// Never destroys the implementation (see KestalHostCommServiceImpl.h).
KestalHostCommService::~KestalHostCommService() { m_impl->Shut(); }

KestalHostCommService& KestalHostCommService::GetInstance() { return m_instance; }

int KestalHostCommService::Start() { return m_impl->Start(); }

int KestalHostCommService::Stop() { return m_impl->Stop(); }

void KestalHostCommService::SetCommType(HostCommDeviceType type) { m_impl->SetCommType(type); }

void KestalHostCommService::SetDeviceEventCallBack(DeviceEventCallBack callback, void* user_data) {
  m_impl->SetDeviceEventCallBack(callback, user_data);
}

void KestalHostCommService::SetLogCallBack(LogCallBack callback, void* user_data) {
  m_impl->SetLogCallBack(callback, user_data);
}

void KestalHostCommService::SetRecvHostCommMsgCallBack(RecvHostCommMsgCallBack callback,
                                                       void* user_data) {
  m_impl->SetRecvHostCommMsgCallBack(callback, user_data);
}

void KestalHostCommService::SetScanerStatusCallBack(StatusCallBack callback, void* user_data) {
  m_impl->SetScanerStatusCallBack(callback, user_data);
}

void KestalHostCommService::SetArmStatusCallBack(StatusCallBack callback, void* user_data) {
  m_impl->SetArmStatusCallBack(callback, user_data);
}

// A null payload with a length is refused with its reason before anything is sent.
int KestalHostCommService::SendHostCommMsg(unsigned short type, unsigned char* data,
                                           unsigned int len) {
  if (!data && len > 0) {
    m_impl->NoteFailure(
        "send type " + std::to_string(type) + ": no data for its " + std::to_string(len) + " bytes",
        false);  // the caller's mistake, not the next event's cause
    return -1;
  }
  return m_impl->SendHostCommMsg(type, data, len);
}

int KestalHostCommService::SendUpdateFirmware(unsigned short type, unsigned char* data,
                                              unsigned int len) {
  if (!data && len > 0) {
    m_impl->NoteFailure("firmware update: no data for its " + std::to_string(len) + " bytes",
                        false);
    return -1;
  }
  return m_impl->SendUpdateFirmware(type, data, len);
}

void KestalHostCommService::RecvHostCommMsg(unsigned short type, unsigned char* data,
                                            unsigned int len) {
  m_impl->RecvHostCommMsg(type, data, len);
}

void KestalHostCommService::ForwardHostCommMsg(unsigned short type, unsigned char* data,
                                               unsigned int len, void* user_data) {
  if (!user_data) return;
  static_cast<KestalHostCommService*>(user_data)->RecvHostCommMsg(type, data, len);
}

void KestalHostCommService::ReportStatus(unsigned int status, const char* text) {
  m_impl->ReportStatus(status, text);
}

unsigned short KestalHostCommService::GetMsgSeqNo() { return m_impl->GetMsgSeqNo(); }

void KestalHostCommService::PrintVolumeRunInfo() { m_impl->PrintVolumeRunInfo(); }
