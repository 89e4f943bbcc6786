#pragma once
// Security attributes that give the current user, and nobody else, access to a new
// object (an event, a mutex, a file).
#include <windows.h>

namespace kelm {

class OwnerOnlySecurity {
 public:
  OwnerOnlySecurity();
  ~OwnerOnlySecurity();
  OwnerOnlySecurity(const OwnerOnlySecurity&) = delete;
  OwnerOnlySecurity& operator=(const OwnerOnlySecurity&) = delete;

  // False when the descriptor could not be built: callers then refuse to create the
  // object rather than create it with the default, wider access.
  bool valid() const { return descriptor_ != nullptr; }
  // Not inheritable; null when not valid.
  SECURITY_ATTRIBUTES* Attributes() { return valid() ? &attributes_ : nullptr; }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
  SECURITY_ATTRIBUTES attributes_{};
};

}  // namespace kelm
