// The process-wide text-field detector behind the subscription interface.
#include "desktop/text_field_source.h"

namespace kelm {
namespace {

class DetectorSource final : public TextFieldSource {
 public:
  int32_t Subscribe(TextFieldCallback callback) override {
    return TextFieldDetector::Instance().Subscribe(std::move(callback));
  }
  void Unsubscribe(int32_t id) override { TextFieldDetector::Instance().Unsubscribe(id); }
};

}  // namespace

TextFieldSource& ProcessTextFieldSource() {
  static DetectorSource source;
  return source;
}

}  // namespace kelm
