#include "shell/window/taskbar_busy.h"

#include <shobjidl.h>

TaskbarBusy::TaskbarBusy(HWND window) : window_(window) {
  ITaskbarList3* taskbar = nullptr;
  if (FAILED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                              reinterpret_cast<void**>(&taskbar)))) {
    return;
  }
  if (FAILED(taskbar->HrInit())) {
    taskbar->Release();
    return;
  }
  taskbar->SetProgressState(window_, TBPF_INDETERMINATE);
  taskbar_ = taskbar;
}

TaskbarBusy::~TaskbarBusy() {
  if (taskbar_ == nullptr) return;
  auto* taskbar = static_cast<ITaskbarList3*>(taskbar_);
  taskbar->SetProgressState(window_, TBPF_NOPROGRESS);
  taskbar->Release();
}
