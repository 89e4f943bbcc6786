// The file transfer part with a fake session: receiving into a private folder, and
// sending to a fake device that answers from the send callback.
#include "desktop/file_transfer.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/text.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace kelm {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using proto::MsgType;

// Payload writers of our own, from the message layouts (little-endian).
void Put(Bytes& out, uint64_t v, int n) {
  for (int i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
uint64_t Get(const Bytes& in, size_t at, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v |= uint64_t{in[at + i]} << (8 * i);
  return v;
}
Bytes Begin(uint32_t id, uint64_t size, const std::string& name) {
  Bytes b;
  Put(b, id, 4);
  Put(b, size, 8);
  Put(b, name.size(), 2);
  b.insert(b.end(), name.begin(), name.end());
  return b;
}
Bytes Data(uint32_t id, const std::string& bytes) {
  Bytes b;
  Put(b, id, 4);
  b.insert(b.end(), bytes.begin(), bytes.end());
  return b;
}
Bytes End(uint32_t id, std::optional<uint8_t> status) {
  Bytes b;
  Put(b, id, 4);
  if (status) b.push_back(*status);
  return b;
}
Bytes Ack(uint32_t id, uint64_t count, uint8_t flags) {
  Bytes b;
  Put(b, id, 4);
  Put(b, count, 8);
  b.push_back(flags);
  return b;
}

struct AckSeen {
  uint32_t id;
  uint64_t count;
  uint8_t flags;
  bool operator==(const AckSeen&) const = default;
};

// A unique piece for file names: the Downloads-style folders may be shared.
std::string Tag() {
  static int n = 0;
  return std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount64()) + "-" + std::to_string(++n);
}

std::vector<std::wstring> FolderEntries(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(find, &data));
  FindClose(find);
  return names;
}

class FileTransferTest : public ::testing::Test {
 public:
  // Builds the part under test; `answer` runs for every message the PC sends, outside
  // the wire's lock, as the device's reaction.
  void Make(FileTransfer::Config config = {}) {
    config.folder = folder.Path();
    transfer = std::make_unique<FileTransfer>(
        [this](MsgType type, const uint8_t* data, size_t size) {
          Bytes payload(data, data + size);
          bool ok = true;
          {
            std::lock_guard lock(mutex);
            sent.push_back({static_cast<uint8_t>(type), payload});
            ok = sendWorks;
          }
          cv.notify_all();
          if (answer) answer(static_cast<uint8_t>(type), payload);
          return ok;
        },
        [this](const TransferEvent& e) {
          {
            std::lock_guard lock(mutex);
            events.push_back(e);
          }
          cv.notify_all();
        },
        std::move(config));
  }
  void Deliver(MsgType type, const Bytes& payload) { transfer->OnMessage(type, payload.data(), payload.size()); }

  template <typename Pred>
  bool WaitUntil(Pred pred, std::chrono::milliseconds limit = 10s) {
    std::unique_lock lock(mutex);
    return cv.wait_for(lock, limit, [&] { return pred(); });
  }
  // Callers hold `mutex` (inside WaitUntil) or call these when nothing is running.
  uint64_t DataBytesLocked(uint32_t id) const {
    uint64_t n = 0;
    for (const auto& [type, p] : sent) {
      if (type == 17 && Get(p, 0, 4) == id) n += p.size() - 4;
    }
    return n;
  }
  uint64_t DataBytes(uint32_t id) {
    std::lock_guard lock(mutex);
    return DataBytesLocked(id);
  }
  std::vector<AckSeen> Acks() {
    std::lock_guard lock(mutex);
    std::vector<AckSeen> acks;
    for (const auto& [type, p] : sent) {
      if (type == 19) {
        EXPECT_EQ(p.size(), 13u);
        acks.push_back({static_cast<uint32_t>(Get(p, 0, 4)), Get(p, 4, 8), p[12]});
      }
    }
    return acks;
  }
  std::optional<uint8_t> EndStatusLocked(uint32_t id) const {
    for (const auto& [type, p] : sent) {
      if (type == 18 && Get(p, 0, 4) == id) {
        EXPECT_EQ(p.size(), 5u);
        return p[4];
      }
    }
    return std::nullopt;
  }
  std::vector<TransferEvent> Events() {
    std::lock_guard lock(mutex);
    return events;
  }
  size_t EventCountLocked() const { return events.size(); }

  test::TempDir folder;
  test::TempDir scratch;
  test::LogCapture log{scratch.File(L"transfer.log")};
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::pair<uint8_t, Bytes>> sent;
  std::vector<TransferEvent> events;
  bool sendWorks = true;
  std::function<void(uint8_t, const Bytes&)> answer;
  std::unique_ptr<FileTransfer> transfer;
};

// ---- Receiving ----

TEST_F(FileTransferTest, ReceivesWithProgressAcknowledgements) {
  Make();
  const std::string name = "photo-" + Tag() + ".bin";
  std::string content(200000, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 131 + 7);
  Deliver(MsgType::FileBegin, Begin(42, content.size(), name));
  const std::wstring finalPath = folder.File(Utf8ToWide(name));
  EXPECT_TRUE(test::FileExists(finalPath + L".part"));
  EXPECT_EQ(transfer->StatusText(), "Receiving " + name + " \xC2\xB7 0 %");
  for (size_t at = 0; at < content.size(); at += 10000) {
    Deliver(MsgType::FileData, Data(42, content.substr(at, 10000)));
  }
  EXPECT_EQ(transfer->StatusText(), "Receiving " + name + " \xC2\xB7 100 %");
  EXPECT_EQ(Acks(), (std::vector<AckSeen>{{42, 70000, 0}, {42, 140000, 0}}));
  Deliver(MsgType::FileEnd, End(42, 0));
  EXPECT_EQ(Acks().back(), (AckSeen{42, 200000, 2}));
  EXPECT_EQ(test::ReadFileBytes(finalPath), content);
  EXPECT_FALSE(test::FileExists(finalPath + L".part"));
  EXPECT_EQ(transfer->StatusText(), "");
  const auto ev = Events();
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].result, 0u);
  EXPECT_EQ(ev[0].direction, 1);
  EXPECT_EQ(ev[0].name, name);
  EXPECT_EQ(ev[0].path, finalPath);
  EXPECT_EQ(ev[0].size, 200000u);
  const std::string text = log.Text();
  EXPECT_NE(text.find("Receiving " + name + " (200000 bytes)"), std::string::npos);
  EXPECT_NE(text.find("Received " + WideToUtf8(finalPath)), std::string::npos);
}

TEST_F(FileTransferTest, NoZoneSiblingWhereTheVolumeHasNoStreams) {
  // This volume reports no named streams, so the mark is left out with a warning
  // instead of creating a visible "name:Zone.Identifier" file beside the download.
  Make();
  const std::string name = "zone-" + Tag() + ".txt";
  Deliver(MsgType::FileBegin, Begin(1, 3, name));
  Deliver(MsgType::FileData, Data(1, "abc"));
  Deliver(MsgType::FileEnd, End(1, 0));
  EXPECT_EQ(FolderEntries(folder.Path()), std::vector<std::wstring>{Utf8ToWide(name)});
  EXPECT_NE(log.Text().find("Could not mark " + WideToUtf8(folder.File(Utf8ToWide(name))) + " as downloaded"),
            std::string::npos);
  // The same for a file marked on its own.
  const std::wstring other = scratch.File(L"other.txt");
  ASSERT_TRUE(test::WriteFileBytes(other, "x"));
  EXPECT_FALSE(MarkDownloaded(other));
  EXPECT_FALSE(test::FileExists(other + L":Zone.Identifier"));
  EXPECT_NE(log.Text().find("Could not mark " + WideToUtf8(other) + " as downloaded"), std::string::npos);
}

TEST_F(FileTransferTest, DataBeyondTheSizeDeletesThePartAndRefuses) {
  Make();
  const std::string name = "over-" + Tag() + ".txt";
  Deliver(MsgType::FileBegin, Begin(5, 10, name));
  Deliver(MsgType::FileData, Data(5, "12345"));
  Deliver(MsgType::FileData, Data(5, "678901"));
  EXPECT_EQ(Acks(), (std::vector<AckSeen>{{5, 0, 1}}));
  EXPECT_TRUE(FolderEntries(folder.Path()).empty());
  const auto ev = Events();
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].result, 1u);
  EXPECT_EQ(ev[0].path, L"");
  const std::string text = log.Text();
  EXPECT_NE(text.find("Writing the received file failed ("), std::string::npos);
  EXPECT_NE(text.find("Receiving " + name + " canceled"), std::string::npos);
  // Later pieces for the given-up id are ignored.
  Deliver(MsgType::FileData, Data(5, "x"));
  Deliver(MsgType::FileEnd, End(5, 0));
  EXPECT_EQ(Acks().size(), 1u);
  EXPECT_EQ(Events().size(), 1u);
}

TEST_F(FileTransferTest, EndingsTable) {
  struct Case {
    std::string what;
    std::string data;
    std::optional<uint8_t> status;
    std::vector<AckSeen> acks;
    uint32_t result;
    const char* logWord;
  };
  const std::vector<Case> cases = {
      {"short file with status 0", "12345", 0, {{9, 5, 1}}, 1, "failed"},
      {"four-byte end", "1234567890", std::nullopt, {{9, 10, 2}}, 0, nullptr},
      {"sender gave up", "12345", 1, {}, 1, "canceled"},
      {"sender gave up with another value", "1234567890", 7, {}, 1, "canceled"},
  };
  for (const Case& c : cases) {
    sent.clear();
    events.clear();
    Make();
    const std::string name = "end-" + Tag() + ".txt";
    Deliver(MsgType::FileBegin, Begin(9, 10, name));
    Deliver(MsgType::FileData, Data(9, c.data));
    Deliver(MsgType::FileEnd, End(9, c.status));
    EXPECT_EQ(Acks(), c.acks) << c.what;
    const auto ev = Events();
    ASSERT_EQ(ev.size(), 1u) << c.what;
    EXPECT_EQ(ev[0].result, c.result) << c.what;
    const std::wstring finalPath = folder.File(Utf8ToWide(name));
    EXPECT_EQ(test::FileExists(finalPath), c.result == 0) << c.what;
    EXPECT_FALSE(test::FileExists(finalPath + L".part")) << c.what;
    if (c.logWord) {
      EXPECT_NE(log.Text().find("Receiving " + name + " " + c.logWord), std::string::npos) << c.what;
    }
    transfer.reset();
    DeleteFileW(finalPath.c_str());
  }
}

TEST_F(FileTransferTest, ShortMessagesAreIgnored) {
  Make();
  Deliver(MsgType::FileBegin, Bytes{1, 0, 0});
  Deliver(MsgType::FileBegin, Begin(1, 10, "name.txt"));
  EXPECT_EQ(FolderEntries(folder.Path()).size(), 1u);
  Deliver(MsgType::FileData, Bytes{1, 0, 0});
  Deliver(MsgType::FileEnd, Bytes{1, 0, 0});
  Bytes truncated = Begin(2, 10, "other.txt");
  truncated.pop_back();  // ends inside the name
  Deliver(MsgType::FileBegin, truncated);
  EXPECT_EQ(FolderEntries(folder.Path()).size(), 1u);
  EXPECT_TRUE(Acks().empty());
  EXPECT_TRUE(Events().empty());
}

TEST_F(FileTransferTest, TakenNamesGetNumbers) {
  Make();
  ASSERT_TRUE(test::WriteFileBytes(folder.File(L"report.pdf"), "old"));
  Deliver(MsgType::FileBegin, Begin(1, 3, "report.pdf"));
  EXPECT_TRUE(test::FileExists(folder.File(L"report (1).pdf.part")));
  // Another program takes the chosen name before the end: the download moves on.
  ASSERT_TRUE(test::WriteFileBytes(folder.File(L"report (1).pdf"), "other"));
  Deliver(MsgType::FileData, Data(1, "new"));
  Deliver(MsgType::FileEnd, End(1, 0));
  EXPECT_EQ(test::ReadFileBytes(folder.File(L"report.pdf")), "old");
  EXPECT_EQ(test::ReadFileBytes(folder.File(L"report (1).pdf")), "other");
  // A new free name is made from the name that was taken.
  EXPECT_EQ(test::ReadFileBytes(folder.File(L"report (1) (1).pdf")), "new");
  ASSERT_EQ(Events().size(), 1u);
  EXPECT_EQ(Events()[0].path, folder.File(L"report (1) (1).pdf"));
  EXPECT_EQ(Acks().back(), (AckSeen{1, 3, 2}));
}

TEST_F(FileTransferTest, MovingOntoATakenNameFailsWithAlreadyExists) {
  // The retry below relies on this answer of the system.
  ASSERT_TRUE(test::WriteFileBytes(folder.File(L"from.txt"), "a"));
  ASSERT_TRUE(test::WriteFileBytes(folder.File(L"to.txt"), "b"));
  EXPECT_FALSE(MoveFileExW(folder.File(L"from.txt").c_str(), folder.File(L"to.txt").c_str(), MOVEFILE_WRITE_THROUGH));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(test::ReadFileBytes(folder.File(L"to.txt")), "b");
}

TEST_F(FileTransferTest, ANameTakenDuringTheMoveIsRetriedUnderAnother) {
  int calls = 0;
  FileTransfer::Config config;
  config.moveFile = [&](const std::wstring& from, const std::wstring& to) {
    if (++calls == 1) {
      // Another program creates the chosen name between the check and the move.
      test::WriteFileBytes(to, "other");
      SetLastError(ERROR_ALREADY_EXISTS);
      return false;
    }
    return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH) != FALSE;
  };
  Make(config);
  Deliver(MsgType::FileBegin, Begin(1, 3, "race.txt"));
  Deliver(MsgType::FileData, Data(1, "new"));
  Deliver(MsgType::FileEnd, End(1, 0));
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(test::ReadFileBytes(folder.File(L"race.txt")), "other");
  EXPECT_EQ(test::ReadFileBytes(folder.File(L"race (1).txt")), "new");
  EXPECT_EQ(Acks().back(), (AckSeen{1, 3, 2}));
  ASSERT_EQ(Events().size(), 1u);
  EXPECT_EQ(Events()[0].result, 0u);
  EXPECT_EQ(Events()[0].path, folder.File(L"race (1).txt"));
}

TEST_F(FileTransferTest, AFailedMoveKeepsTheCompleteData) {
  FileTransfer::Config config;
  config.moveFile = [](const std::wstring&, const std::wstring&) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  };
  Make(config);
  Deliver(MsgType::FileBegin, Begin(2, 4, "kept.txt"));
  Deliver(MsgType::FileData, Data(2, "data"));
  Deliver(MsgType::FileEnd, End(2, 0));
  const std::wstring part = folder.File(L"kept.txt.part");
  EXPECT_EQ(test::ReadFileBytes(part), "data");
  EXPECT_FALSE(test::FileExists(folder.File(L"kept.txt")));
  EXPECT_EQ(Acks(), (std::vector<AckSeen>{{2, 4, 1}}));
  const auto ev = Events();
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].result, 1u);
  EXPECT_EQ(ev[0].path, part);
  const std::string text = log.Text();
  EXPECT_NE(text.find("WARN  Keeping " + WideToUtf8(part) + ": moving it to "), std::string::npos) << text;
  EXPECT_NE(text.find("Receiving kept.txt failed"), std::string::npos);
}

TEST_F(FileTransferTest, TheMarkGoesOnThePartBeforeTheMove) {
  struct MarkSeen {
    std::wstring path;
    bool finalExisted;
  };
  std::vector<MarkSeen> marks;
  const std::wstring finalPath = folder.File(L"marked.txt");
  FileTransfer::Config config;
  config.markDownloaded = [&](const std::wstring& path) {
    marks.push_back({path, test::FileExists(finalPath)});
    return true;
  };
  Make(config);
  Deliver(MsgType::FileBegin, Begin(3, 4, "marked.txt"));
  Deliver(MsgType::FileData, Data(3, "data"));
  Deliver(MsgType::FileEnd, End(3, 0));
  ASSERT_EQ(marks.size(), 1u);
  EXPECT_EQ(marks[0].path, finalPath + L".part");
  EXPECT_FALSE(marks[0].finalExisted);
  EXPECT_EQ(test::ReadFileBytes(finalPath), "data");
  EXPECT_EQ(log.Text().find("Could not mark"), std::string::npos);
}

TEST_F(FileTransferTest, AFailedMoveLeavesAMarkedPart) {
  std::vector<std::wstring> marked;
  FileTransfer::Config config;
  config.markDownloaded = [&](const std::wstring& path) {
    marked.push_back(path);
    return true;
  };
  config.moveFile = [](const std::wstring&, const std::wstring&) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  };
  Make(config);
  Deliver(MsgType::FileBegin, Begin(4, 4, "stays.txt"));
  Deliver(MsgType::FileData, Data(4, "data"));
  Deliver(MsgType::FileEnd, End(4, 0));
  const std::wstring part = folder.File(L"stays.txt.part");
  EXPECT_EQ(test::ReadFileBytes(part), "data");
  EXPECT_EQ(marked, std::vector<std::wstring>{part});
}

TEST_F(FileTransferTest, AFileLargerThanTheFreeSpaceIsRefused) {
  // The volume's own answer: nothing this size fits anywhere.
  Make();
  Deliver(MsgType::FileBegin, Begin(6, uint64_t{1} << 62, "huge.bin"));
  EXPECT_EQ(Acks(), (std::vector<AckSeen>{{6, 0, 1}}));
  EXPECT_TRUE(FolderEntries(folder.Path()).empty());
  EXPECT_TRUE(Events().empty());
  EXPECT_NE(log.Text().find("Not receiving huge.bin: "), std::string::npos);
  transfer.reset();

  // At the edge, with the free space given: 64 MiB must stay free.
  struct Case {
    uint64_t free, size;
    bool accepted;
  };
  const uint64_t mib = uint64_t{1} << 20;
  for (const Case& c : {Case{100 * mib, 36 * mib, true}, Case{100 * mib, 36 * mib + 1, false},
                        Case{10 * mib, 0, false}, Case{0, 1, false}}) {
    SCOPED_TRACE(c.size);
    {
      std::lock_guard lock(mutex);
      sent.clear();
    }
    FileTransfer::Config config;
    config.freeBytes = [&](const std::wstring&) { return std::optional<uint64_t>(c.free); };
    Make(config);
    const std::string name = "edge-" + Tag() + ".bin";
    Deliver(MsgType::FileBegin, Begin(7, c.size, name));
    EXPECT_EQ(test::FileExists(folder.File(Utf8ToWide(name)) + L".part"), c.accepted);
    EXPECT_EQ(Acks().empty(), c.accepted);
    transfer.reset();
  }
}

TEST_F(FileTransferTest, ARepeatedIdCancelsTheEarlierFile) {
  Make();
  Deliver(MsgType::FileBegin, Begin(3, 10, "first.txt"));
  Deliver(MsgType::FileData, Data(3, "abc"));
  Deliver(MsgType::FileBegin, Begin(3, 2, "second.txt"));
  EXPECT_FALSE(test::FileExists(folder.File(L"first.txt.part")));
  Deliver(MsgType::FileData, Data(3, "xy"));
  Deliver(MsgType::FileEnd, End(3, 0));
  EXPECT_EQ(test::ReadFileBytes(folder.File(L"second.txt")), "xy");
  const auto ev = Events();
  ASSERT_EQ(ev.size(), 2u);
  EXPECT_EQ(ev[0].name, "first.txt");
  EXPECT_EQ(ev[0].result, 1u);
  EXPECT_EQ(ev[1].result, 0u);
}

TEST_F(FileTransferTest, TheSeventeenthFileAtOnceIsRefused) {
  Make();
  for (uint32_t id = 1; id <= 16; ++id) Deliver(MsgType::FileBegin, Begin(id, 100, "many.txt"));
  EXPECT_EQ(FolderEntries(folder.Path()).size(), 16u);
  Deliver(MsgType::FileBegin, Begin(17, 100, "many.txt"));
  EXPECT_EQ(FolderEntries(folder.Path()).size(), 16u);
  EXPECT_EQ(Acks(), (std::vector<AckSeen>{{17, 0, 1}}));
  // Once one ends, the next is taken again.
  Deliver(MsgType::FileEnd, End(1, 1));
  Deliver(MsgType::FileBegin, Begin(18, 100, "many.txt"));
  EXPECT_EQ(FolderEntries(folder.Path()).size(), 16u);
  EXPECT_EQ(Acks().size(), 1u);
  transfer->Stop();
  EXPECT_TRUE(FolderEntries(folder.Path()).empty());
}

TEST_F(FileTransferTest, StopMidFileRemovesThePartWithoutEvent) {
  Make();
  Deliver(MsgType::FileBegin, Begin(4, 100, "midway.txt"));
  Deliver(MsgType::FileData, Data(4, "half"));
  transfer->Stop();
  EXPECT_TRUE(FolderEntries(folder.Path()).empty());
  EXPECT_TRUE(Events().empty());
  // A file announced after the stop is refused and creates nothing.
  Deliver(MsgType::FileBegin, Begin(5, 1, "late.txt"));
  EXPECT_TRUE(FolderEntries(folder.Path()).empty());
  EXPECT_EQ(Acks(), (std::vector<AckSeen>{{5, 0, 1}}));
}

// ---- Sending ----

constexpr uint64_t kMiB = 1 << 20;

std::string Pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char& c : s) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

TEST_F(FileTransferTest, SendWaitsForTheWindowAndResumesOnAcknowledgement) {
  Make();
  const std::string content = Pattern(kMiB, 1);
  const std::wstring path = scratch.File(L"a.bin");
  ASSERT_TRUE(test::WriteFileBytes(path, content));
  ASSERT_TRUE(transfer->QueueFiles({path}));
  ASSERT_TRUE(WaitUntil([&] { return DataBytesLocked(1) == 262144; }));
  Sleep(300);
  EXPECT_EQ(DataBytes(1), 262144u);  // waits: the window is full
  {
    std::lock_guard lock(mutex);
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(sent[0].first, 16);
    EXPECT_EQ(sent[0].second, Begin(1, kMiB, "a.bin"));
    for (size_t i = 1; i < sent.size(); ++i) EXPECT_LE(sent[i].second.size(), 4u + 32768u);
  }
  Deliver(MsgType::FileAck, Ack(1, 65536, 0));
  ASSERT_TRUE(WaitUntil([&] { return DataBytesLocked(1) == 262144 + 65536; }));
  Deliver(MsgType::FileAck, Ack(1, 1, 0));  // an older count changes nothing
  Sleep(100);
  EXPECT_EQ(DataBytes(1), 262144u + 65536u);
  transfer->Stop();
  std::lock_guard lock(mutex);
  EXPECT_EQ(EndStatusLocked(1), std::optional<uint8_t>(1));
  EXPECT_TRUE(events.empty());  // stopping gives no event
}

TEST_F(FileTransferTest, AnOverlargeAcknowledgementNeverPassesWhatWasSent) {
  Make();
  const std::string content = Pattern(kMiB, 2);
  const std::wstring path = scratch.File(L"big.bin");
  ASSERT_TRUE(test::WriteFileBytes(path, content));
  std::string received;
  std::vector<std::string> statuses;
  answer = [&](uint8_t type, const Bytes& p) {
    if (type == 17) {
      received.append(p.begin() + 4, p.end());
      if (received.size() % 262144 == 0) {
        Deliver(MsgType::FileAck, Ack(1, ~0ull, 0));
        statuses.push_back(transfer->StatusText());
      }
    } else if (type == 18) {
      Deliver(MsgType::FileAck, Ack(1, ~0ull, 2));
    }
  };
  ASSERT_TRUE(transfer->QueueFiles({path}));
  ASSERT_TRUE(WaitUntil([&] { return EventCountLocked() == 1; }));
  EXPECT_EQ(received, content);
  const auto ev = Events();
  EXPECT_EQ(ev[0].result, 0u);
  EXPECT_EQ(ev[0].direction, 0);
  EXPECT_EQ(ev[0].name, "big.bin");
  EXPECT_EQ(ev[0].path, path);
  EXPECT_EQ(ev[0].size, kMiB);
  ASSERT_EQ(statuses.size(), 4u);
  EXPECT_EQ(statuses[0], "Sending big.bin \xC2\xB7 25 %");
  EXPECT_EQ(statuses[3], "Sending big.bin \xC2\xB7 100 %");
  const std::string text = log.Text();
  EXPECT_NE(text.find("Sending big.bin (1048576 bytes)"), std::string::npos);
  EXPECT_NE(text.find("Sending big.bin done"), std::string::npos);
}

TEST_F(FileTransferTest, SendFailuresTable) {
  struct Case {
    std::string what;
    uint64_t size;
    std::function<void(FileTransferTest&, uint8_t, const Bytes&)> device;
    uint8_t endStatus;
  };
  const std::vector<Case> cases = {
      {"no progress", kMiB, nullptr, 1},
      {"no confirmation", 1000, nullptr, 0},
      {"device cancels", kMiB,
       [](FileTransferTest& t, uint8_t type, const Bytes& p) {
         if (type == 17 && Get(p, 0, 4) == 1) t.Deliver(MsgType::FileAck, Ack(1, 0, 1));
       },
       1},
      {"device refuses after the end", 1000,
       [](FileTransferTest& t, uint8_t type, const Bytes&) {
         if (type == 18) t.Deliver(MsgType::FileAck, Ack(1, 1000, 1));
       },
       0},
  };
  size_t round = 0;
  for (const Case& c : cases) {
    ++round;
    sent.clear();
    events.clear();
    answer = c.device ? [this, &c](uint8_t type, const Bytes& p) { c.device(*this, type, p); }
                      : std::function<void(uint8_t, const Bytes&)>();
    Make({300ms, 300ms, {}});
    const std::wstring path = scratch.File(L"fail.bin");
    ASSERT_TRUE(test::WriteFileBytes(path, Pattern(c.size, 3)));
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(transfer->QueueFiles({path}));
    ASSERT_TRUE(WaitUntil([&] { return EventCountLocked() == 1; })) << c.what;
    const auto took = std::chrono::steady_clock::now() - started;
    {
      std::lock_guard lock(mutex);
      EXPECT_EQ(EndStatusLocked(1), std::optional<uint8_t>(c.endStatus)) << c.what;
      EXPECT_EQ(events[0].result, 1u) << c.what;
      EXPECT_EQ(events[0].size, c.size) << c.what;
      if (!c.device) {
        EXPECT_GE(took, 300ms) << c.what;
      }
    }
    const std::string text = log.Text();
    size_t failures = 0;
    for (size_t at = text.find("Sending fail.bin failed"); at != std::string::npos;
         at = text.find("Sending fail.bin failed", at + 1)) {
      ++failures;
    }
    EXPECT_EQ(failures, round) << c.what;
    transfer.reset();
  }
}

TEST_F(FileTransferTest, AGrowingFileSendsOnlyItsAnnouncedSize) {
  const std::wstring path = scratch.File(L"grow.bin");
  const std::string content = Pattern(kMiB, 4);
  ASSERT_TRUE(test::WriteFileBytes(path, content));
  std::string received;
  bool grown = false;
  answer = [&](uint8_t type, const Bytes& p) {
    if (type == 17) {
      if (!grown) {
        // Another program appends to the file while it is being sent.
        HANDLE h = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        const std::string more(100000, 'Z');
        DWORD written = 0;
        WriteFile(h, more.data(), static_cast<DWORD>(more.size()), &written, nullptr);
        CloseHandle(h);
        grown = true;
      }
      received.append(p.begin() + 4, p.end());
      if (received.size() % 65536 == 0) Deliver(MsgType::FileAck, Ack(1, received.size(), 0));
    } else if (type == 18) {
      Deliver(MsgType::FileAck, Ack(1, received.size(), 2));
    }
  };
  Make();
  ASSERT_TRUE(transfer->QueueFiles({path}));
  ASSERT_TRUE(WaitUntil([&] { return EventCountLocked() == 1; }));
  EXPECT_TRUE(grown);
  EXPECT_EQ(received, content);
  EXPECT_EQ(Events()[0].result, 0u);
  std::lock_guard lock(mutex);
  EXPECT_EQ(EndStatusLocked(1), std::optional<uint8_t>(0));
}

TEST_F(FileTransferTest, FoldersAndMissingFilesAreNotQueued) {
  Make();
  ASSERT_TRUE(transfer->QueueFiles({scratch.Path(), scratch.File(L"missing.bin")}));
  Sleep(200);
  EXPECT_TRUE(Acks().empty());
  {
    std::lock_guard lock(mutex);
    EXPECT_TRUE(sent.empty());
    EXPECT_TRUE(events.empty());
  }
  const std::string text = log.Text();
  EXPECT_NE(text.find("Not sending " + WideToUtf8(scratch.Path()) + ": not a file"), std::string::npos);
  EXPECT_NE(text.find("Not sending " + WideToUtf8(scratch.File(L"missing.bin")) + ": not a file"),
            std::string::npos);
}

TEST_F(FileTransferTest, StatusCountsTheQueuedFiles) {
  Make();
  const std::wstring a = scratch.File(L"a.bin");
  ASSERT_TRUE(test::WriteFileBytes(a, Pattern(kMiB, 5)));
  ASSERT_TRUE(test::WriteFileBytes(scratch.File(L"b.bin"), "b"));
  ASSERT_TRUE(test::WriteFileBytes(scratch.File(L"c.bin"), "c"));
  ASSERT_TRUE(transfer->QueueFiles({a, scratch.File(L"b.bin"), scratch.File(L"c.bin")}));
  ASSERT_TRUE(WaitUntil([&] { return DataBytesLocked(1) == 262144; }));
  Deliver(MsgType::FileAck, Ack(1, 262144, 0));
  ASSERT_TRUE(WaitUntil([&] { return DataBytesLocked(1) == 524288; }));
  Deliver(MsgType::FileAck, Ack(1, 524288, 0));
  EXPECT_EQ(transfer->StatusText(), "Sending a.bin \xC2\xB7 50 % (+2 more)");
}

TEST_F(FileTransferTest, FilesGoOneAtATimeInQueueOrder) {
  std::vector<uint32_t> begins;
  answer = [&](uint8_t type, const Bytes& p) {
    const uint32_t id = static_cast<uint32_t>(Get(p, 0, 4));
    if (type == 16) begins.push_back(id);
    if (type == 18) Deliver(MsgType::FileAck, Ack(id, 0, 2));
  };
  Make();
  const std::wstring gone = scratch.File(L"gone.bin");
  ASSERT_TRUE(test::WriteFileBytes(scratch.File(L"one.bin"), "1"));
  ASSERT_TRUE(test::WriteFileBytes(gone, "x"));
  ASSERT_TRUE(test::WriteFileBytes(scratch.File(L"two.bin"), "22"));
  // The middle file disappears after it was queued.
  sendWorks = true;
  ASSERT_TRUE(transfer->QueueFiles({scratch.File(L"one.bin"), gone, scratch.File(L"two.bin")}));
  DeleteFileW(gone.c_str());
  ASSERT_TRUE(WaitUntil([&] { return EventCountLocked() == 3; }));
  const auto ev = Events();
  std::set<std::string> failed;
  for (const auto& e : ev) {
    if (e.result != 0) failed.insert(e.name);
  }
  // "gone.bin" may have been opened before it was deleted; when not, it fails with size 0.
  for (const auto& e : ev) {
    if (e.name == "gone.bin" && e.result != 0) {
      EXPECT_EQ(e.size, 0u);
    }
  }
  EXPECT_EQ(ev[0].name, "one.bin");
  EXPECT_EQ(ev[2].name, "two.bin");
  EXPECT_FALSE(failed.contains("one.bin"));
  EXPECT_FALSE(failed.contains("two.bin"));
  ASSERT_GE(begins.size(), 2u);
  for (size_t i = 0; i < begins.size(); ++i) EXPECT_EQ(begins[i], i + 1);
  // No file starts before the previous one has ended.
  std::lock_guard lock(mutex);
  uint32_t open = 0;
  for (const auto& [type, p] : sent) {
    const uint32_t id = static_cast<uint32_t>(Get(p, 0, 4));
    if (type == 16) {
      EXPECT_EQ(open, 0u);
      open = id;
    } else if (type == 17) {
      EXPECT_EQ(id, open);
    } else if (type == 18) {
      EXPECT_EQ(id, open);
      open = 0;
    }
  }
}

TEST_F(FileTransferTest, QueueingAfterStopReportsFailure) {
  Make();
  transfer->Stop();
  ASSERT_TRUE(test::WriteFileBytes(scratch.File(L"late.bin"), "x"));
  EXPECT_FALSE(transfer->QueueFiles({scratch.File(L"late.bin")}));
  Sleep(100);
  std::lock_guard lock(mutex);
  EXPECT_TRUE(sent.empty());
}

TEST_F(FileTransferTest, AFailingSessionFailsTheFile) {
  sendWorks = false;
  Make();
  ASSERT_TRUE(test::WriteFileBytes(scratch.File(L"cut.bin"), Pattern(100000, 6)));
  ASSERT_TRUE(transfer->QueueFiles({scratch.File(L"cut.bin")}));
  ASSERT_TRUE(WaitUntil([&] { return EventCountLocked() == 1; }));
  std::lock_guard lock(mutex);
  EXPECT_EQ(events[0].result, 1u);
  EXPECT_EQ(DataBytesLocked(1), 0u);  // FileBegin failed: no data phase
  EXPECT_EQ(EndStatusLocked(1), std::optional<uint8_t>(1));
}

}  // namespace
}  // namespace kelm
