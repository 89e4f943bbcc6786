#pragma once
// A byte string that is a secret (the authenticator secret): every copy overwrites
// its bytes with zeros when it is replaced or destroyed.
#include <cstdint>
#include <initializer_list>
#include <span>
#include <utility>
#include <vector>

#include "core/crypto.h"

namespace kelm {

class SecretBytes {
 public:
  SecretBytes() = default;
  SecretBytes(std::vector<uint8_t>&& bytes) noexcept : bytes_(std::move(bytes)) {}  // NOLINT: takes the bytes over
  SecretBytes(std::span<const uint8_t> bytes) : bytes_(bytes.begin(), bytes.end()) {}  // NOLINT: copies
  SecretBytes(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}                   // NOLINT: copies
  SecretBytes(std::initializer_list<uint8_t> bytes) : bytes_(bytes) {}
  SecretBytes(const SecretBytes& other) : bytes_(other.bytes_) {}
  SecretBytes(SecretBytes&& other) noexcept : bytes_(std::move(other.bytes_)) { other.bytes_.clear(); }
  SecretBytes& operator=(const SecretBytes& other) {
    if (this != &other) {
      Wipe();
      bytes_ = other.bytes_;
    }
    return *this;
  }
  SecretBytes& operator=(SecretBytes&& other) noexcept {
    if (this != &other) {
      Wipe();
      bytes_ = std::move(other.bytes_);
      other.bytes_.clear();
    }
    return *this;
  }
  ~SecretBytes() { Wipe(); }

  bool empty() const { return bytes_.empty(); }
  size_t size() const { return bytes_.size(); }
  const uint8_t* data() const { return bytes_.data(); }
  uint8_t* data() { return bytes_.data(); }
  auto begin() const { return bytes_.begin(); }
  auto end() const { return bytes_.end(); }
  operator std::span<const uint8_t>() const { return bytes_; }  // NOLINT: read as bytes

  // Overwrites the bytes and leaves the secret empty.
  void Wipe() {
    WipeBytes(bytes_.data(), bytes_.size());
    bytes_.clear();
  }

  friend bool operator==(const SecretBytes& a, const SecretBytes& b) { return a.bytes_ == b.bytes_; }
  friend bool operator==(const SecretBytes& a, const std::vector<uint8_t>& b) { return a.bytes_ == b; }

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace kelm
