// What make_text_stream() gives: the stream of a source's texts as one of
// the ways of running them runs it, read through a DecodingReader (which
// decompresses a compressed source), and checked for a source that is not
// text at all, which a stream that skips bad texts would otherwise skip a
// text at a time.
#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "texts/decoding_reader.h"
#include "texts/text_stream.h"

namespace tamsel::texts {

class SourceStream final : public TextStream {
 public:
  // The texts run by `inner`, which reads through `reader` (when there is
  // one). Only a stream that skips bad texts is checked: one that stops at
  // the first stops at a binary one as well.
  SourceStream(std::unique_ptr<DecodingReader> reader, std::unique_ptr<TextStream> inner,
               bool check_for_binary);

  Step next(Waiting& waiting, const TextResults** results, Stop* stop) override;
  const StreamWork& work() const override;
  bool usable() const override;
  std::string_view broken() const override;

  // Texts looked at for binary data start within this many bytes.
  static constexpr uint64_t kFirstBytes = 1024;

 private:
  enum class Verdict { kText, kBinary, kUndecided };
  // Whether the source is text, from the texts of its first kilobyte: some
  // that look binary, and no text that ran or two binary ones before the
  // first that did, say it is not.
  Verdict judge(const TextResults& results);
  // Hands out the first binary text alone, its note saying what it means.
  Step not_text(const TextResults** out);

  // Declared first, so that it goes after the stream that reads it.
  std::unique_ptr<DecodingReader> reader_;
  std::unique_ptr<TextStream> inner_;
  bool judging_;
  // While judging: the bad texts seen, kept until the verdict, and the
  // first of them that looks binary.
  TextResults held_;
  std::optional<TextRecord> first_binary_;
  size_t binary_texts_ = 0;
  // After a verdict of text with texts held: the inner stream's results
  // (or how it ended), handed out after them.
  const TextResults* after_held_ = nullptr;
  std::optional<Step> after_held_step_;
  mutable StreamWork work_;
};

}  // namespace tamsel::texts
