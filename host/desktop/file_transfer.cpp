// File transfer between the PC and one device.
#include "desktop/file_transfer.h"

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <algorithm>

#include "core/com_apartment.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/text.h"
#include "desktop/transfer_names.h"
#include "desktop/transfer_payloads.h"

namespace kelm {
namespace {

using proto::MsgType;

constexpr char kZoneMark[] = "[ZoneTransfer]\r\nZoneId=3\r\n";
constexpr size_t kZoneMarkBytes = sizeof kZoneMark - 1;
// Separator between the name and the percentage: a blank, a middle dot, a blank.
constexpr char kStatusSeparator[] = " \xC2\xB7 ";
// Attempts at the final move while other programs keep taking the chosen name.
constexpr int kMoveAttempts = 8;
// A received file must leave this much of its volume free.
constexpr uint64_t kFreeSpaceMarginBytes = 64ull << 20;

bool PathExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::wstring FileNamePart(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring FolderPart(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

bool VolumeKeepsNamedStreams(const std::wstring& path) {
  wchar_t volume[MAX_PATH + 1] = {};
  DWORD flags = 0;
  return GetVolumePathNameW(path.c_str(), volume, MAX_PATH + 1) &&
         GetVolumeInformationW(volume, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
         (flags & FILE_NAMED_STREAMS) != 0;
}

// Where the volume has no named streams, the stream name would make a visible sibling
// file (or fail), so nothing is written there.
bool WriteZoneMark(const std::wstring& path, bool volumeKeepsStreams) {
  if (!volumeKeepsStreams) return false;
  WinHandle stream(CreateFileW((path + L":Zone.Identifier").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  return stream && WriteFile(stream.Get(), kZoneMark, kZoneMarkBytes, &written, nullptr) &&
         written == kZoneMarkBytes;
}

std::optional<uint64_t> FreeBytesOn(const std::wstring& folder) {
  ULARGE_INTEGER available{};
  if (!GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) return std::nullopt;
  return available.QuadPart;
}

}  // namespace

std::wstring TransferFolder() {
  std::wstring base;
  CoTaskMem<wchar_t> known;
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_Downloads, KF_FLAG_CREATE, nullptr, known.Put())) && known) {
    base = known.Get();
  }
  if (base.empty()) base = LocalDataDir();
  base += L"\\tavro";
  CreateDirectoryW(base.c_str(), nullptr);  // usually exists already
  return base;
}

std::wstring UniqueName(const std::wstring& folder, const std::wstring& name) {
  return UniqueNameIn(folder, name, PathExists, GetTickCount64());
}

bool MarkDownloaded(const std::wstring& path) {
  const bool marked = WriteZoneMark(path, VolumeKeepsNamedStreams(path));
  if (!marked) LogWarn("Could not mark {} as downloaded", WideToUtf8(path));
  return marked;
}

FileTransfer::FileTransfer(SendFn send, EventFn onEvent, Config config)
    : send_(std::move(send)), onEvent_(std::move(onEvent)), config_(std::move(config)) {
  sendThread_ = std::thread([this] { SendLoop(); });
}

FileTransfer::~FileTransfer() { Stop(); }

void FileTransfer::Stop() {
  std::call_once(stopOnce_, [this] {
    {
      std::lock_guard lock(sendMutex_);
      stop_ = true;
      queue_.clear();
    }
    sendCv_.notify_all();
    if (sendThread_.joinable()) sendThread_.join();
    std::map<uint32_t, Incoming> abandoned;
    {
      std::lock_guard lock(receiveMutex_);
      receiveStopped_ = true;
      abandoned.swap(incoming_);
    }
    for (auto& [id, in] : abandoned) {
      in.file.Reset();
      DeleteFileW(in.partPath.c_str());
    }
  });
}

const std::wstring& FileTransfer::Folder() {
  std::call_once(folderOnce_, [this] { folder_ = config_.folder.empty() ? TransferFolder() : config_.folder; });
  return folder_;
}

void FileTransfer::Emit(const TransferEvent& event) {
  if (onEvent_) onEvent_(event);
}

bool FileTransfer::SendPayload(MsgType type, const std::vector<uint8_t>& payload) {
  return send_ && send_(type, payload.data(), payload.size());
}

bool FileTransfer::SendAck(uint32_t id, uint64_t count, uint8_t flags) {
  return SendPayload(MsgType::FileAck, transfer::MakeAck(id, count, flags));
}

// ---- Sending ----

bool FileTransfer::QueueFiles(const std::vector<std::wstring>& paths) {
  {
    std::lock_guard lock(sendMutex_);
    if (stop_) {
      for (const std::wstring& path : paths) LogWarn("Not sending {}: the session has ended", WideToUtf8(path));
      return false;
    }
    for (const std::wstring& path : paths) {
      const DWORD attributes = GetFileAttributesW(path.c_str());
      if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        LogWarn("Not sending {}: not a file", WideToUtf8(path));
        continue;
      }
      queue_.push_back(path);
    }
  }
  sendCv_.notify_all();
  return true;
}

void FileTransfer::SendLoop() {
  for (;;) {
    std::wstring path;
    {
      std::unique_lock lock(sendMutex_);
      sendCv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
      if (stop_) return;
      path = std::move(queue_.front());
      queue_.pop_front();
    }
    SendOne(path);
  }
}

void FileTransfer::SendOne(const std::wstring& path) {
  const std::string name = WideToUtf8(FileNamePart(path));
  WinHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  LARGE_INTEGER fileSize{};
  if (!file || !GetFileSizeEx(file.Get(), &fileSize)) {
    LogWarn("Can't open {} ({})", name, GetLastError());
    bool stopping = false;
    {
      std::lock_guard lock(sendMutex_);
      stopping = stop_;
    }
    if (!stopping) Emit({kTransferNotCompleted, kTransferSent, name, path, 0});
    return;
  }
  const uint64_t size = static_cast<uint64_t>(fileSize.QuadPart);
  Outgoing* out = nullptr;
  {
    std::lock_guard lock(sendMutex_);
    auto outgoing = std::make_unique<Outgoing>();
    outgoing->id = nextId_++;
    outgoing->name = name;
    outgoing->size = size;
    out = outgoing.get();
    current_ = std::move(outgoing);
  }
  const uint32_t id = out->id;
  LogInfo("Sending {} ({} bytes)", name, size);
  bool complete = false;
  if (SendPayload(MsgType::FileBegin, transfer::MakeBegin(id, size, name))) {
    complete = SendData(*out, file.Get());
  }
  SendPayload(MsgType::FileEnd, transfer::MakeEnd(id, complete ? transfer::kEndComplete : transfer::kEndGaveUp));
  const bool done = complete && WaitForConfirmation(*out);
  LogInfo("Sending {} {}", name, done ? "done" : "failed");
  bool stopping = false;
  {
    std::lock_guard lock(sendMutex_);
    current_.reset();
    stopping = stop_;
  }
  if (!stopping) Emit({done ? kTransferCompleted : kTransferNotCompleted, kTransferSent, name, path, size});
}

bool FileTransfer::SendData(Outgoing& out, HANDLE file) {
  std::vector<uint8_t> buffer(transfer::kIdBytes + kPieceBytes);
  transfer::PutId(buffer.data(), out.id);
  for (;;) {
    if (WaitForWindow(out) == Gate::GiveUp) return false;
    uint64_t remaining = 0;
    {
      std::lock_guard lock(sendMutex_);
      remaining = out.size - out.sent;
    }
    if (remaining == 0) return true;
    // At most what FileBegin announced, even when the file has grown since.
    const DWORD want = static_cast<DWORD>(std::min<uint64_t>(remaining, kPieceBytes));
    DWORD got = 0;
    if (!ReadFile(file, buffer.data() + transfer::kIdBytes, want, &got, nullptr) || got == 0) return false;
    {
      // Counted before it leaves, so that an acknowledgement can never outrun it.
      std::lock_guard lock(sendMutex_);
      out.sent += got;
    }
    if (!send_ || !send_(MsgType::FileData, buffer.data(), transfer::kIdBytes + got)) return false;
  }
}

FileTransfer::Gate FileTransfer::WaitForWindow(Outgoing& out) {
  std::unique_lock lock(sendMutex_);
  uint64_t seen = out.acknowledged;
  auto deadline = std::chrono::steady_clock::now() + config_.progressTimeout;
  for (;;) {
    if (stop_ || out.cancelled) return Gate::GiveUp;
    if (out.sent - out.acknowledged < kSendWindow) return Gate::Open;
    const auto now = std::chrono::steady_clock::now();
    if (out.acknowledged != seen) {
      seen = out.acknowledged;
      deadline = now + config_.progressTimeout;
    } else if (now >= deadline) {
      LogWarn("Sending {}: the device acknowledged nothing for {} ms", out.name, config_.progressTimeout.count());
      return Gate::GiveUp;
    }
    sendCv_.wait_until(lock, deadline);
  }
}

bool FileTransfer::WaitForConfirmation(Outgoing& out) {
  std::unique_lock lock(sendMutex_);
  sendCv_.wait_for(lock, config_.confirmTimeout, [&] { return out.confirmed || out.cancelled || stop_; });
  return out.confirmed;
}

void FileTransfer::OnAck(const uint8_t* data, size_t size) {
  const auto ack = transfer::ParseAck({data, size});
  if (!ack) return;
  {
    std::lock_guard lock(sendMutex_);
    if (!current_ || current_->id != ack->id) return;
    Outgoing& out = *current_;
    // Never more than was sent: a larger count would open the window without end.
    out.acknowledged = std::max(out.acknowledged, std::min(ack->count, out.sent));
    if ((ack->flags & transfer::kAckFailed) != 0) out.cancelled = true;
    if ((ack->flags & transfer::kAckSaved) != 0) out.confirmed = true;
  }
  sendCv_.notify_all();
}

std::string FileTransfer::StatusText() {
  {
    std::lock_guard lock(sendMutex_);
    if (current_) {
      std::string text = "Sending " + current_->name + kStatusSeparator +
                         PercentText(current_->acknowledged, current_->size);
      if (!queue_.empty()) text += " (+" + std::to_string(queue_.size()) + " more)";
      return text;
    }
  }
  std::lock_guard lock(receiveMutex_);
  if (incoming_.empty()) return {};
  const Incoming& in = incoming_.begin()->second;
  return "Receiving " + in.name + kStatusSeparator + PercentText(in.received, in.size);
}

// ---- Receiving ----

void FileTransfer::OnMessage(MsgType type, const uint8_t* data, size_t size) {
  if (size < transfer::kIdBytes) return;
  switch (type) {
    case MsgType::FileBegin:
      OnBegin(data, size);
      return;
    case MsgType::FileData:
      OnData(data, size);
      return;
    case MsgType::FileEnd:
      if (const auto end = transfer::ParseEnd({data, size})) Finish(end->id, end->status == transfer::kEndComplete);
      return;
    case MsgType::FileAck:
      OnAck(data, size);
      return;
    default:
      return;
  }
}

void FileTransfer::OnBegin(const uint8_t* data, size_t size) {
  const auto begin = transfer::ParseBegin({data, size});
  if (!begin) return;
  bool known = false;
  {
    std::lock_guard lock(receiveMutex_);
    known = incoming_.contains(begin->id);
  }
  if (known) Finish(begin->id, false);
  const std::string name = SafeFileName(begin->name);
  size_t open = 0;
  bool stopped = false;
  {
    std::lock_guard lock(receiveMutex_);
    open = incoming_.size();
    stopped = receiveStopped_;
  }
  if (stopped || open >= kMaxIncoming) {
    LogWarn("Not receiving {}: {}", name, stopped ? "the session has ended" : "too many files at once");
    SendAck(begin->id, 0, transfer::kAckFailed);
    return;
  }
  const auto freeBytes = config_.freeBytes ? config_.freeBytes(Folder()) : FreeBytesOn(Folder());
  if (freeBytes && (*freeBytes < kFreeSpaceMarginBytes || begin->size > *freeBytes - kFreeSpaceMarginBytes)) {
    LogWarn("Not receiving {}: {} bytes do not fit in the {} bytes free", name, begin->size, *freeBytes);
    SendAck(begin->id, 0, transfer::kAckFailed);
    return;
  }
  Incoming in;
  in.name = name;
  in.finalPath = UniqueName(Folder(), Utf8ToWide(name));
  in.partPath = in.finalPath + L".part";
  in.size = begin->size;
  in.file.Reset(CreateFileW(in.partPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                            nullptr));
  if (!in.file) {
    LogWarn("Can't create {} ({})", WideToUtf8(in.partPath), GetLastError());
    SendAck(begin->id, 0, transfer::kAckFailed);
    return;
  }
  LogInfo("Receiving {} ({} bytes)", name, begin->size);
  std::lock_guard lock(receiveMutex_);
  if (receiveStopped_) {
    in.file.Reset();
    DeleteFileW(in.partPath.c_str());
    return;
  }
  incoming_.insert_or_assign(begin->id, std::move(in));
}

void FileTransfer::OnData(const uint8_t* data, size_t size) {
  const uint32_t id = *transfer::ParseId({data, size});
  const uint8_t* bytes = data + transfer::kIdBytes;
  const size_t length = size - transfer::kIdBytes;
  DWORD error = ERROR_SUCCESS;
  bool failed = false;
  uint64_t progress = 0;
  {
    std::lock_guard lock(receiveMutex_);
    const auto it = incoming_.find(id);
    if (it == incoming_.end()) return;
    Incoming& in = it->second;
    if (length > in.size - in.received) {
      failed = true;
      error = ERROR_FILE_TOO_LARGE;  // more than the device announced
    } else if (length != 0) {
      DWORD written = 0;
      if (!WriteFile(in.file.Get(), bytes, static_cast<DWORD>(length), &written, nullptr) || written != length) {
        failed = true;
        error = GetLastError();
      } else {
        in.received += length;
        if (in.received - in.acknowledged >= kProgressAckEvery) {
          in.acknowledged = in.received;
          progress = in.received;
        }
      }
    }
  }
  if (failed) {
    LogWarn("Writing the received file failed ({})", error);
    Finish(id, false);
    SendAck(id, 0, transfer::kAckFailed);
    return;
  }
  if (progress != 0) SendAck(id, progress, 0);
}

bool FileTransfer::MoveIntoPlace(const std::wstring& partPath, std::wstring& finalPath) {
  for (int attempt = 0; attempt < kMoveAttempts; ++attempt) {
    if (PathExists(finalPath)) finalPath = UniqueName(FolderPart(finalPath), FileNamePart(finalPath));
    const bool moved = config_.moveFile ? config_.moveFile(partPath, finalPath)
                                        : MoveFileExW(partPath.c_str(), finalPath.c_str(), MOVEFILE_WRITE_THROUGH);
    if (moved) return true;
    const DWORD error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) {
      LogWarn("Keeping {}: moving it to {} failed ({})", WideToUtf8(partPath), WideToUtf8(finalPath), error);
      return false;
    }
  }
  LogWarn("Keeping {}: every name chosen for it was taken", WideToUtf8(partPath));
  return false;
}

void FileTransfer::Finish(uint32_t id, bool success) {
  Incoming in;
  {
    std::lock_guard lock(receiveMutex_);
    const auto it = incoming_.find(id);
    if (it == incoming_.end()) return;
    in = std::move(it->second);
    incoming_.erase(it);
  }
  in.file.Reset();
  TransferEvent event{kTransferNotCompleted, kTransferReceived, in.name, {}, in.size};
  if (success && in.received == in.size) {
    // The mark goes on before the file takes its final name, so it is never seen unmarked
    // there, and a ".part" kept after a failed move carries it too.
    bool marked = false;
    if (config_.markDownloaded) {
      marked = config_.markDownloaded(in.partPath);
    } else {
      // The volume's answer is asked once: it costs more than the rest of a small file.
      std::call_once(streamsOnce_, [&] { folderKeepsStreams_ = VolumeKeepsNamedStreams(in.partPath); });
      marked = WriteZoneMark(in.partPath, folderKeepsStreams_);
    }
    std::wstring finalPath = in.finalPath;
    if (MoveIntoPlace(in.partPath, finalPath)) {
      if (!marked) LogWarn("Could not mark {} as downloaded", WideToUtf8(finalPath));
      LogInfo("Received {}", WideToUtf8(finalPath));
      SendAck(id, in.size, transfer::kAckSaved);
      event.result = kTransferCompleted;
      event.path = finalPath;
      Emit(event);
      return;
    }
    // The data are complete: they stay as the ".part" file rather than being lost.
    if (!marked) LogWarn("Could not mark {} as downloaded", WideToUtf8(in.partPath));
    LogInfo("Receiving {} failed", in.name);
    SendAck(id, in.received, transfer::kAckFailed);
    event.path = in.partPath;
    Emit(event);
    return;
  }
  DeleteFileW(in.partPath.c_str());
  LogInfo("Receiving {} {}", in.name, success ? "failed" : "canceled");
  if (success) SendAck(id, in.received, transfer::kAckFailed);
  Emit(event);
}

}  // namespace kelm
