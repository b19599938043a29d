#include "update/update_preflight.h"

#include <vector>

#include <spdlog/spdlog.h>

#include "base/log_lines.h"
#include "base/portable/text_conversion.h"
#include "update/power_status.h"
#include "update/portable/updater_command.h"

std::wstring UpdaterToolBesideProgram() {
  std::vector<wchar_t> buffer(MODULE_PATH_LENGTH, L'\0');
  GetModuleFileNameW(nullptr, buffer.data(), MODULE_PATH_LENGTH);
  buffer.back() = L'\0';
  return UpdaterToolPath(buffer.data());
}

bool UpdaterToolPresent(const std::wstring& toolPath) {
  return GetFileAttributesW(toolPath.c_str()) != INVALID_FILE_ATTRIBUTES;
}

BatteryCheck CheckBatteryForFlash() {
  BatteryCheck check;
  check.status = ReadPowerStatus();
  check.verdict = JudgeBatteryForFlash(check.status);
  if (BatteryRefuses(check.verdict)) {
    spdlog::error(LOG_BATTERY_REFUSED, PowerStatusText(check.status));
  } else if (check.verdict == BatteryVerdict::Unknown) {
    spdlog::info(LOG_BATTERY_UNKNOWN, PowerStatusText(check.status));
  }
  return check;
}

std::wstring UpdaterChangeableWhenPrivileged(const std::wstring& toolPath) {
  std::wstring changeableBy;
  HoldUpdaterWhenPrivileged(toolPath, changeableBy);
  return changeableBy;
}

std::wstring UpdaterChangeableText(UiLanguage language, const std::wstring& toolPath, const std::wstring& account) {
  return FillInText(FillInText(TXT_UPDATER_CHANGEABLE.In(language), L"{path}", toolPath), L"{account}", account);
}

UpdatePreflight PreflightUpdate(const std::wstring& image, const std::wstring& toolPath,
                                const PreflightOptions& options) {
  UpdatePreflight result;
  auto copy = std::make_shared<ImageCopy>();
  const ImageCopyStep step = copy->Make(image);
  if (step == ImageCopyStep::CannotOpen) {
    result.image = FirmwareImageCheck::CannotOpen;
    result.refusal = UpdateRefusal::Image;
    return result;
  }
  result.imageCopy = copy;
  if (step != ImageCopyStep::Done) {
    result.refusal = UpdateRefusal::ImageCopyFailed;
    return result;
  }
  result.image = copy->Check();
  if (result.image != FirmwareImageCheck::Accepted) {
    result.refusal = UpdateRefusal::Image;
    return result;
  }
  // Which image this flash writes, by its content, whichever front end runs it.
  spdlog::info(LOG_IMAGE_COPY, WideToUtf8(copy->Path()));
  spdlog::info(LOG_IMAGE_SHA256, WideToUtf8(copy->Sha256()));
  if (!UpdaterToolPresent(toolPath)) {
    result.refusal = UpdateRefusal::ToolMissing;
    return result;
  }
  result.updater = HoldUpdaterWhenPrivileged(toolPath, result.changeableBy);
  if (!result.changeableBy.empty()) {
    result.refusal = UpdateRefusal::UpdaterChangeable;
    return result;
  }
  // Read through the held handle: the bytes whose signature is logged are the bytes that start.
  result.signature = ReadUpdaterSignature(toolPath, result.updater ? result.updater->File() : nullptr);
  if (!options.signer.empty() && !SignedBy(result.signature, options.signer)) {
    result.refusal = result.signature.state == SignatureState::Signed ? UpdateRefusal::SignerMismatch
                                                                      : UpdateRefusal::UpdaterNotSigned;
    return result;
  }
  if (options.checkBattery) {
    result.battery = CheckBatteryForFlash();
    if (BatteryRefuses(result.battery.verdict)) {
      result.refusal = UpdateRefusal::LowBattery;
      return result;
    }
  }
  auto flash = std::make_unique<FlashGuard>(options.guardWaitMs);
  if (!flash->Held() && !flash->LookPending()) {
    result.unusableGuard = flash->Unusable();
    result.refusal = result.unusableGuard ? UpdateRefusal::GuardUnusable
                     : flash->DockBusy()  ? UpdateRefusal::DockBusy
                                          : UpdateRefusal::UpdateRunning;
    return result;
  }
  result.flash = std::move(flash);
  return result;
}
