#include "common/request_timeouts.h"

#include "common/seam.h"

namespace {
void SetTimeout(HINTERNET handle, DWORD option, DWORD milliseconds) {
    DWORD value = seam::RequestTimeout(milliseconds);
    ::InternetSetOptionW(handle, option, &value, sizeof(value));
}
}  // namespace

void ApplyRequestTimeouts(HINTERNET handle, const RequestTimeouts& timeouts) {
    if (!handle) return;
    SetTimeout(handle, INTERNET_OPTION_CONNECT_TIMEOUT, timeouts.connect);
    SetTimeout(handle, INTERNET_OPTION_SEND_TIMEOUT, timeouts.send);
    SetTimeout(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, timeouts.receive);
}
