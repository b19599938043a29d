#include "update/power_request.h"

#include <string>

#include <spdlog/spdlog.h>

#include "base/log_lines.h"
#include "base/portable/ui_text.h"

namespace {

constexpr EXECUTION_STATE FLASH_EXECUTION_STATE = ES_CONTINUOUS | ES_SYSTEM_REQUIRED;

// The request, named by the text Windows shows for the shutdown hold; none
// when it cannot be made, and then `failure` says why.
UniqueHandle CreateSystemRequiredRequest(std::string& failure) {
  std::wstring reason = TXT_SHUTDOWN_REASON.In(SelectUiLanguage());
  REASON_CONTEXT context{};
  context.Version = POWER_REQUEST_CONTEXT_VERSION;
  context.Flags = POWER_REQUEST_CONTEXT_SIMPLE_STRING;
  context.Reason.SimpleReasonString = reason.data();
  UniqueHandle request(PowerCreateRequest(&context));
  if (!request) {
    failure = "PowerCreateRequest failed " + std::to_string(GetLastError());
    return request;
  }
  if (!PowerSetRequest(request.Get(), PowerRequestSystemRequired)) {
    failure = "PowerSetRequest failed " + std::to_string(GetLastError());
    request.Reset();
  }
  return request;
}

}  // namespace

FlashPowerRequest::FlashPowerRequest() {
  std::string failure;
  request_ = CreateSystemRequiredRequest(failure);
  if (request_) {
    held_ = Held::PowerRequest;
    spdlog::info(LOG_POWER_REQUEST_SET, "PowerRequestSystemRequired");
  } else if (SetThreadExecutionState(FLASH_EXECUTION_STATE) != 0) {
    // Older systems, and some that refuse the request: the thread's own state serves.
    held_ = Held::ExecutionState;
    spdlog::info(LOG_POWER_REQUEST_SET, "SetThreadExecutionState (" + failure + ")");
  } else {
    spdlog::error("Power request failed: {}, SetThreadExecutionState failed {}", failure, GetLastError());
  }
}

FlashPowerRequest::~FlashPowerRequest() {
  switch (held_) {
    case Held::PowerRequest:
      PowerClearRequest(request_.Get(), PowerRequestSystemRequired);
      request_.Reset();
      break;
    case Held::ExecutionState:
      SetThreadExecutionState(ES_CONTINUOUS);
      break;
    case Held::Nothing:
      return;
  }
  spdlog::info(LOG_POWER_REQUEST_CLEARED);
}
