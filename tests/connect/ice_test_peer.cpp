// The Windows side of the ICE agent tests: answers an offer read from stdin, prints the
// answer, reports state changes, and sends datagrams that the native peer echoes.
//
// usage: ice_test_peer [--datagrams N] [--connect-ms MS] [--hold-ms MS] [--consent-timeout-ms MS]
//                      [--corrupt-fingerprint] [--corrupt-integrity]
#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "connect/juice.h"

using namespace tavro::connect;

namespace {

struct Shared {
  std::mutex mu;
  std::condition_variable cv;
  juice_state_t state = JUICE_STATE_DISCONNECTED;
  bool gathered = false;
  std::vector<bool> echoed;
  int echoes = 0;
  int stray = 0;
};

void OnState(juice_agent_t*, juice_state_t state, void* user) {
  auto* s = static_cast<Shared*>(user);
  std::printf("STATE %u\n", static_cast<unsigned>(state));
  std::fflush(stdout);
  std::lock_guard lock(s->mu);
  s->state = state;
  s->cv.notify_all();
}

void OnGathered(juice_agent_t*, void* user) {
  auto* s = static_cast<Shared*>(user);
  std::lock_guard lock(s->mu);
  s->gathered = true;
  s->cv.notify_all();
}

void OnRecv(juice_agent_t*, const char* data, size_t size, void* user) {
  auto* s = static_cast<Shared*>(user);
  std::lock_guard lock(s->mu);
  uint32_t index = 0;
  if (size == 100) std::memcpy(&index, data, 4);
  if (size == 100 && index < s->echoed.size() && !s->echoed[index]) {
    s->echoed[index] = true;
    s->echoes++;
  } else {
    s->stray++;
  }
  s->cv.notify_all();
}

bool Connected(juice_state_t s) { return s == JUICE_STATE_CONNECTED || s == JUICE_STATE_COMPLETED; }

}  // namespace

int main(int argc, char** argv) {
  int datagrams = 1000, connectMs = 5000, holdMs = 0;
  IceTestSettings test;
  test.loopbackOnly = true;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&] { return i + 1 < argc ? std::atoi(argv[++i]) : 0; };
    if (a == "--datagrams") datagrams = next();
    else if (a == "--connect-ms") connectMs = next();
    else if (a == "--hold-ms") holdMs = next();
    else if (a == "--consent-timeout-ms") test.timers.consentTimeoutMs = static_cast<uint32_t>(next());
    else if (a == "--consent-interval-ms") test.timers.consentIntervalMs = static_cast<uint32_t>(next());
    else if (a == "--corrupt-fingerprint") test.faults.corruptFingerprint = true;
    else if (a == "--corrupt-integrity") test.faults.corruptIntegrity = true;
  }
  std::string offer, line;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line == "END") break;
    offer += line + "\n";
  }
  Shared shared;
  shared.echoed.assign(static_cast<size_t>(datagrams), false);
  juice_config_t config;
  config.cb_state_changed = OnState;
  config.cb_gathering_done = OnGathered;
  config.cb_recv = OnRecv;
  config.user_ptr = &shared;
  config.test = &test;
  juice_agent_t* agent = juice_create(&config);
  if (agent == nullptr) return 1;
  auto start = std::chrono::steady_clock::now();
  if (juice_set_remote_description(agent, offer.c_str()) != JUICE_ERR_SUCCESS) {
    std::printf("REMOTE REFUSED\n");
    return 1;
  }
  juice_set_remote_gathering_done(agent);
  juice_gather_candidates(agent);
  {
    std::unique_lock lock(shared.mu);
    shared.cv.wait_for(lock, std::chrono::seconds(5), [&] { return shared.gathered; });
  }
  char answer[4096];
  if (juice_get_local_description(agent, answer, sizeof answer) != JUICE_ERR_SUCCESS) return 1;
  std::printf("%sEND\n", answer);
  std::fflush(stdout);
  bool connected;
  {
    std::unique_lock lock(shared.mu);
    connected = shared.cv.wait_for(lock, std::chrono::milliseconds(connectMs), [&] { return Connected(shared.state); });
  }
  if (connected) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    std::printf("CONNECTED %lld\n", static_cast<long long>(ms.count()));
    char local[256], remote[256];
    if (juice_get_selected_candidates(agent, local, sizeof local, remote, sizeof remote) == JUICE_ERR_SUCCESS) {
      std::printf("LOCAL %s\nREMOTE %s\n", local, remote);
    }
    std::fflush(stdout);
    {
      // The controlling peer can answer data once it has nominated (we see completed).
      std::unique_lock lock(shared.mu);
      if (shared.cv.wait_for(lock, std::chrono::milliseconds(connectMs),
                             [&] { return shared.state == JUICE_STATE_COMPLETED; })) {
        auto done = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        std::printf("COMPLETED %lld\n", static_cast<long long>(done.count()));
      }
    }
    for (int i = 0; i < datagrams; ++i) {
      char payload[100] = {};
      uint32_t index = static_cast<uint32_t>(i);
      std::memcpy(payload, &index, 4);
      juice_send(agent, payload, sizeof payload);
      if (i % 50 == 49) Sleep(5);  // stay well inside the socket buffers
    }
    std::unique_lock lock(shared.mu);
    shared.cv.wait_for(lock, std::chrono::seconds(5), [&] { return shared.echoes == datagrams; });
    std::printf("ECHOES %d\n", shared.echoes);
  } else {
    std::printf("NOT CONNECTED\n");
  }
  std::fflush(stdout);
  if (holdMs > 0) {
    std::unique_lock lock(shared.mu);
    shared.cv.wait_for(lock, std::chrono::milliseconds(holdMs), [&] { return shared.state == JUICE_STATE_FAILED; });
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    std::printf("AFTER HOLD %u %lld\n", static_cast<unsigned>(shared.state), static_cast<long long>(ms.count()));
    std::fflush(stdout);
  }
  std::printf("FINAL %u\n", static_cast<unsigned>(shared.state));
  std::fflush(stdout);
  juice_destroy(agent);
  return 0;
}
