#pragma once
// What one attempt to capture the next image brought, as desktop duplication (and what
// stands in for it) reports it to the video pipeline.
namespace kelm {

enum class CaptureResult {
  NewImage,
  NothingNew,  // time-out, or only the pointer changed
  Lost,        // call Recreate
  Unusable,
};

}  // namespace kelm
