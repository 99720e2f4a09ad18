// A stream's texts run on the caller's thread, one after another, as the
// window over the source slides: found by the framing (text_splitter.h),
// which confirms each line it guesses to be a text by parsing it, so the
// common stream of one text a line is split at no cost of its own.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "texts/text_stream.h"
#include "texts/window.h"
#include "texts/window_run.h"
#include "texts/indexed_stretch.h"

namespace tamsel::texts {

class SerialStream final : public TextStream {
 public:
  SerialStream(std::shared_ptr<const Program> program, const StreamOptions& options,
               StreamSource source);

  Step next(Waiting& waiting, const TextResults** results, Stop* stop) override;
  const StreamWork& work() const override { return work_; }
  std::string_view broken() const override { return broken_; }

 private:
  // After a text longer than any text can be: its record, which ends the
  // stream.
  void refuse_long_text();

  const std::shared_ptr<const Program> program_;
  const StreamOptions options_;
  Window window_;
  IndexedStretch stretch_;
  StreamFraming framing_;
  TextResults results_;
  bool window_set_ = false;
  // What the next call gives, once the texts before it are handed out.
  enum class Then { kGoOn, kEnd, kReadFailed } then_ = Then::kGoOn;
  StreamWork work_;
  std::string broken_;  // why the array of elements broke
};

}  // namespace tamsel::texts
