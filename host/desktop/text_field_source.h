#pragma once
// Subscription to text-field reports: the process-wide detector in the programs, a
// scripted source in tests.
#include <cstdint>

#include "desktop/text_field_detector.h"

namespace kelm {

class TextFieldSource {
 public:
  virtual ~TextFieldSource() = default;
  // The callback runs on the source's thread with the source's lock held.
  virtual int32_t Subscribe(TextFieldCallback callback) = 0;
  // Returns once no call of that callback is running or will start.
  virtual void Unsubscribe(int32_t id) = 0;
};

// The process-wide text-field detector, started by its first subscription.
TextFieldSource& ProcessTextFieldSource();

}  // namespace kelm
