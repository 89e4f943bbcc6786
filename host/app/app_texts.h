#pragma once
// The tray application's texts and small rules that need no Windows: fitting texts into
// the shell's buffers, menu rows, balloon texts, allowed links and the hand-off block.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kelm {

inline constexpr char kAppVersion[] = "1.0.0";

// Texts the shell copies into fixed buffers of `n` characters, terminator included.
// A cut never splits a surrogate pair.
std::wstring FitText(std::wstring_view text, size_t n);
// A menu shows '&' as a mnemonic marker; doubled it shows as itself.
std::wstring DoubleAmpersands(std::wstring_view text);

// Only the web and the Settings app may be opened from the page, and only links
// without characters that a shell or a browser would read differently.
bool IsAllowedExternalUrl(std::wstring_view text);

struct Balloon {
  std::wstring title;
  std::wstring text;
  std::wstring target;  // not empty: a click opens Explorer on this file
};

Balloon TransferBalloon(bool received, bool completed, std::wstring_view device, std::wstring_view fileName,
                        std::wstring_view savedPath);
Balloon ConnectedBalloon(std::wstring_view device, bool usb);
Balloon DisconnectedBalloon(std::wstring_view device);
Balloon PendingFilesBalloon(size_t pendingCount);
Balloon TrayHintBalloon();
Balloon UpdatedBalloon();
// A new version on the update site, told once per version.
Balloon UpdateAvailableBalloon(std::wstring_view version, bool required);

// What a device that may not connect is told while this PC must update first.
inline constexpr char kUpdateRequiredNotice[] =
    "tavro on this PC must be updated: open tavro on the PC and click Update.";

// Tray menu: command ids and rows.
inline constexpr uint32_t kMenuOpen = 100;
inline constexpr uint32_t kMenuSendFiles = 101;
inline constexpr uint32_t kMenuAutostart = 102;
inline constexpr uint32_t kMenuQuit = 103;

struct TrayMenuItem {
  uint32_t id = 0;
  std::wstring text;  // id 0 and empty: a separator
  bool enabled = true;
  bool checked = false;
  bool isDefault = false;
};
std::vector<TrayMenuItem> TrayMenuRows(std::wstring_view statusText, bool anySession, bool autostart);

// Single instance: one mutex per local data folder.
uint64_t InstanceHash(std::wstring_view localDataDir);
std::wstring SingleInstanceMutexName(std::wstring_view localDataDir);

// The hand-off block of WM_COPYDATA: tag 'tvro', then each path and a NUL, and one
// more NUL after the last.
inline constexpr uint32_t kHandoffTag = 0x7476726F;  // 't' 'v' 'r' 'o'
std::wstring JoinFileList(const std::vector<std::wstring>& files);
// `units` 16-bit code units; a walk of the block as the sender built it.
std::vector<std::wstring> SplitFileList(const uint16_t* units, size_t count);

}  // namespace kelm
