#pragma once
// File transfer between the PC and one device: a send thread for the files the user
// queues, and the reception of the device's files into Downloads\tavro.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/protocol.h"
#include "core/win_handle.h"

namespace kelm {

// One finished, failed or cancelled transfer.
struct TransferEvent {
  uint32_t result = 0;    // 0 completed, 1 not completed
  uint8_t direction = 0;  // 0 sent to the device, 1 received from it
  std::string name;       // UTF-8; for received files the safe name
  std::wstring path;      // sent: the queued path; received: the saved file, empty when none
  uint64_t size = 0;
};

inline constexpr uint32_t kTransferCompleted = 0;
inline constexpr uint32_t kTransferNotCompleted = 1;
inline constexpr uint8_t kTransferSent = 0;
inline constexpr uint8_t kTransferReceived = 1;

// Downloads\tavro (created when missing), or the local data folder's "tavro" when
// Windows knows no Downloads folder.
std::wstring TransferFolder();
// A free path for `name` in `folder`: neither it nor it plus ".part" exists.
std::wstring UniqueName(const std::wstring& folder, const std::wstring& name);
// Marks a received file as coming from the Internet zone; false (with a warning) where
// the volume keeps no alternate data streams.
bool MarkDownloaded(const std::wstring& path);

class FileTransfer {
 public:
  using SendFn = std::function<bool(proto::MsgType, const uint8_t* data, size_t size)>;
  using EventFn = std::function<void(const TransferEvent&)>;

  static constexpr size_t kPieceBytes = 32768;            // data bytes per FileData sent
  static constexpr uint64_t kSendWindow = 0x40000;        // unacknowledged bytes in flight
  static constexpr uint64_t kProgressAckEvery = 0x10000;  // received bytes between progress acks
  static constexpr size_t kMaxIncoming = 16;              // files received at once

  struct Config {
    // Data phase: give up when the device acknowledges nothing new for this long.
    std::chrono::milliseconds progressTimeout{60000};
    // After FileEnd: give up when the device does not confirm within this long.
    std::chrono::milliseconds confirmTimeout{60000};
    // Where received files go; empty: TransferFolder().
    std::wstring folder;
    // Moves a finished ".part" file to its final name without replacing anything,
    // setting the thread's last error on failure; empty: MoveFileExW. Tests replace it
    // to make the move fail.
    std::function<bool(const std::wstring& from, const std::wstring& to)> moveFile;
    // Marks a complete ".part" file as downloaded before its move; empty: the
    // ":Zone.Identifier" stream where the volume keeps named streams. Tests replace it to
    // see when and on what it runs.
    std::function<bool(const std::wstring& path)> markDownloaded;
    // The bytes free to this user on the folder's volume, or nothing when unknown; empty:
    // GetDiskFreeSpaceExW.
    std::function<std::optional<uint64_t>(const std::wstring& folder)> freeBytes;
  };

  FileTransfer(SendFn send, EventFn onEvent) : FileTransfer(std::move(send), std::move(onEvent), Config{}) {}
  FileTransfer(SendFn send, EventFn onEvent, Config config);
  ~FileTransfer();
  FileTransfer(const FileTransfer&) = delete;
  FileTransfer& operator=(const FileTransfer&) = delete;

  // A message 16 to 19 from the device; other types are ignored. Session thread.
  void OnMessage(proto::MsgType type, const uint8_t* data, size_t size);
  // Queues the paths that name files; others are refused with a warning. False, with
  // nothing queued, once stopped. Any thread.
  bool QueueFiles(const std::vector<std::wstring>& paths);
  // "Sending a.bin · 50 % (+2 more)", "Receiving b.jpg · 10 %", or empty.
  std::string StatusText();
  // Ends the send thread and gives up every queued, outgoing and incoming file without
  // events; ".part" files are deleted. Runs once.
  void Stop();

 private:
  struct Outgoing {
    uint32_t id = 0;
    std::string name;
    uint64_t size = 0;
    uint64_t sent = 0;
    uint64_t acknowledged = 0;
    bool cancelled = false;
    bool confirmed = false;
  };
  struct Incoming {
    std::string name;
    std::wstring partPath;
    std::wstring finalPath;
    WinHandle file;
    uint64_t size = 0;
    uint64_t received = 0;
    uint64_t acknowledged = 0;
  };
  enum class Gate { Open, GiveUp };

  void SendLoop();
  void SendOne(const std::wstring& path);
  bool SendData(Outgoing& out, HANDLE file);
  Gate WaitForWindow(Outgoing& out);
  bool WaitForConfirmation(Outgoing& out);
  void OnBegin(const uint8_t* data, size_t size);
  void OnData(const uint8_t* data, size_t size);
  void OnAck(const uint8_t* data, size_t size);
  void Finish(uint32_t id, bool success);
  bool MoveIntoPlace(const std::wstring& partPath, std::wstring& finalPath);
  bool SendAck(uint32_t id, uint64_t count, uint8_t flags);
  bool SendPayload(proto::MsgType type, const std::vector<uint8_t>& payload);
  void Emit(const TransferEvent& event);
  const std::wstring& Folder();

  SendFn send_;
  EventFn onEvent_;
  Config config_;

  std::mutex sendMutex_;
  std::condition_variable sendCv_;
  std::deque<std::wstring> queue_;
  std::unique_ptr<Outgoing> current_;
  bool stop_ = false;
  uint32_t nextId_ = 1;
  std::thread sendThread_;

  std::mutex receiveMutex_;
  std::map<uint32_t, Incoming> incoming_;
  bool receiveStopped_ = false;

  std::once_flag folderOnce_;
  std::wstring folder_;
  std::once_flag streamsOnce_;
  bool folderKeepsStreams_ = false;
  std::once_flag stopOnce_;
};

}  // namespace kelm
