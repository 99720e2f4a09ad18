#include "value/json.h"

#include <simdjson.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <system_error>
#include <thread>
#include <utility>

#include <sys/mman.h>
#include <unistd.h>

#include "runtime/bounds.h"
#include "runtime/page_reads.h"
#include "runtime/quiet_thread.h"
#include "value/document_ref.h"
#include "value/json_scan.h"
#include "value/projected_tape.h"

namespace tamsel {
namespace {

namespace dom = simdjson::dom;

constexpr size_t kKeepBuffersUpTo = JsonParser::kKeepBuffersUpTo;
// How often a caller waiting for a parse apart looks at its poll.
constexpr std::chrono::milliseconds kLookInterval{20};

// simdjson counts only non-empty containers against its depth limit, and
// refuses one at the limit itself. Parsing with our own limit therefore
// accepts exactly the texts whose containers all fit, except that it also
// refuses a non-empty container at depth kMaxJsonDepth, which we accept:
// only a text that reaches that depth is parsed again, one level deeper,
// and its tape then checked for an empty container beyond our limit.
constexpr size_t kParserDepth = kMaxJsonDepth;
constexpr size_t kRetryDepth = kMaxJsonDepth + 1;

// Hands the whole pages inside [start, start + size) back to the kernel,
// which may reclaim them at leisure; until it does, using them again costs
// no page fault. Their content is lost either way, so only buffers that
// every parse rewrites before reading are given back.
void give_back_pages(void* start, size_t size) {
#if defined(MADV_FREE)
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(start) + page - 1) & ~(page - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(start) + size) & ~(page - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_FREE);
#else
  (void)start;
  (void)size;
#endif
}

// A fresh parser gets exactly what its first text needs (a parser made for a
// single small text stays small); later growth doubles, within the kept size,
// so that a run of slowly growing documents does not reallocate every time.
size_t grown_capacity(size_t current, size_t needed) {
  if (current == 0 || needed > kKeepBuffersUpTo) return needed;
  return std::min(std::max(needed, current * 2), kKeepBuffersUpTo);
}

// A simdjson failure that the scanner could not place: name it as best we can.
JsonError fallback_error(simdjson::error_code code) {
  const char* kind = "InternalError(TapeError)";
  switch (code) {
    case simdjson::EMPTY: kind = "Syntax"; break;
    case simdjson::DEPTH_ERROR: kind = "NestingTooDeep"; break;
    case simdjson::NUMBER_ERROR: kind = "InvalidNumber"; break;
    case simdjson::UTF8_ERROR: kind = "InvalidUtf8"; break;
    case simdjson::T_ATOM_ERROR: kind = "ExpectedTrue"; break;
    case simdjson::F_ATOM_ERROR: kind = "ExpectedFalse"; break;
    case simdjson::N_ATOM_ERROR: kind = "ExpectedNull"; break;
    case simdjson::STRING_ERROR:
    case simdjson::UNCLOSED_STRING:
    case simdjson::UNESCAPED_CHARS: kind = "Syntax"; break;
    default: break;
  }
  return JsonError{kind, 0, false, 0};
}

// What simdjson accepts but our rules refuse. Each check runs only where its
// fault can be present, so a document pays for neither in the common case.

// An empty container one level deeper than kMaxJsonDepth: simdjson counts
// only non-empty containers against its limit. Only a text parsed again at
// the retry depth can hold one, and then the tape is walked for it.
std::optional<JsonError> depth_error(const dom::document& doc, std::string_view text) {
  const uint64_t* tape = doc.tape.get();
  const uint64_t end = tape[0] & simdjson::internal::JSON_VALUE_MASK;
  size_t depth = 0;
  for (uint64_t i = 1; i < end; ++i) {
    switch (static_cast<char>(tape[i] >> 56)) {
      case '[':
      case '{':
        if (++depth > kMaxJsonDepth) {
          auto error = json_scan::diagnose(text);
          return error ? error : fallback_error(simdjson::DEPTH_ERROR);
        }
        break;
      case ']':
      case '}':
        --depth;
        break;
      case 'l':
      case 'u':
      case 'd':
        ++i;  // the value word
        break;
      default:
        break;
    }
  }
  return std::nullopt;
}

// Whether the tape holds a double zero. A zero payload word is always a
// number's value, and the word before it that number's type.
bool has_zero_double(const dom::document& doc) {
  const uint64_t* tape = doc.tape.get();
  const uint64_t end = tape[0] & simdjson::internal::JSON_VALUE_MASK;
  for (uint64_t i = 2; i < end; ++i) {
    if ((tape[i] << 1) == 0 && static_cast<char>(tape[i - 1] >> 56) == 'd') return true;
  }
  return false;
}

// Whether a lent text may be read where it lies: the caller guarantees a
// NUL after it, and the reads of the projected reader and of simdjson may
// reach up to simdjson's padding past its end, which must then lie on the
// NUL's page. Under a sanitizer, which would rightly report those reads past
// the object (as reads of freed memory, where a block freed before lies
// there), lent texts are always copied.
bool readable_past_end(const char* text, size_t size) {
  return runtime::readable_on_its_page(text + size, simdjson::SIMDJSON_PADDING);
}

Value materialize_string(std::string_view s, bool view_strings) {
  return view_strings ? Value::string_view(s.data(), static_cast<uint32_t>(s.size()))
                      : Value::string(s);
}

}  // namespace

Value materialize(DocumentRef ref, bool view_strings) {
  switch (ref.type()) {
    case dom::element_type::ARRAY: {
      dom::array array = ref.get_array().value_unsafe();
      Array elements;
      elements.reserve(document_element_count(array));
      for (dom::element child : array) elements.push_back(materialize(child, view_strings));
      return Value::array(std::move(elements));
    }
    case dom::element_type::OBJECT: {
      dom::object object = ref.get_object().value_unsafe();
      Value built = Value::object_with_room(document_element_count(object));
      ObjectMap& map = built.as_object();
      for (dom::key_value_pair member : object) {
        Value key = materialize_string(member.key, view_strings);
        map.insert_unchecked(std::move(key), materialize(member.value, view_strings));
      }
      return built;
    }
    case dom::element_type::STRING:
      return materialize_string(ref.get_string().value_unsafe(), view_strings);
    default:
      return document_value(ref);  // a scalar is the same built or in place
  }
}

struct JsonParser::State {
  dom::parser parser;
  ProjectedTapeReader projected;
  std::string_view lent;  // a text lent for the next parse, if any
  // A lent text that index_work_buffer() took, for the parse of the same
  // text that may follow: a new text (lent or written) clears it.
  std::string_view indexed;
  bool lent_in_place = true;  // and whether the whole parse may read it there
  std::string_view last;  // the text the last parse read
  std::unique_ptr<char[]> buffer;  // the padded work buffer
  size_t buffer_capacity = 0;

  // Room for a text of up to `max_size` bytes in the work buffer.
  char* work_buffer(size_t max_size) {
    last = {};
    // Large buffers are not worth keeping for a small text.
    if (buffer_capacity > kKeepBuffersUpTo && max_size <= kKeepBuffersUpTo) drop_buffer();
    if (!buffer || buffer_capacity < max_size) {
      const size_t capacity = grown_capacity(buffer_capacity, max_size);
      drop_buffer();
      buffer.reset(new char[capacity + simdjson::SIMDJSON_PADDING]);
      buffer_capacity = capacity;
    }
    return buffer.get();
  }
  // Parses the text (lent, or in the work buffer), for `projection` when
  // given; `projected` says whether the projected reader took it.
  std::variant<DocumentRef, JsonError> parse(std::string_view lent, size_t size,
                                             const Projection* projection, bool* projected);

  // The parser, ready for a text of `size` bytes at `depth`.
  void allocate(size_t size, size_t depth) {
    if (parser.capacity() > kKeepBuffersUpTo && size <= kKeepBuffersUpTo) drop_parser();
    if (parser.capacity() >= size && parser.max_depth() == depth) return;
    const size_t capacity =
        parser.capacity() >= size ? parser.capacity() : grown_capacity(parser.capacity(), size);
    if (parser.allocate(capacity, depth) != simdjson::SUCCESS) {
      drop_parser();
      throw std::bad_alloc();
    }
  }
  void drop_parser() { parser = dom::parser(); }
  void drop_buffer() {
    buffer.reset();
    buffer_capacity = 0;
  }

  // Gives back the pages of every buffer sized for texts above the kept size.
  // The sizes are those simdjson allocates for its capacity, rounded down.
  void give_back_large_buffers() {
    if (buffer_capacity > kKeepBuffersUpTo) give_back_pages(buffer.get(), buffer_capacity);
    const size_t capacity = parser.capacity();
    if (capacity <= kKeepBuffersUpTo) return;
    give_back_pages(parser.doc.tape.get(), capacity * sizeof(uint64_t));
    give_back_pages(parser.doc.string_buf.get(), 5 * capacity / 3);
    if (parser.implementation)
      give_back_pages(parser.implementation->structural_indexes.get(),
                      capacity * sizeof(uint32_t));
  }
};

JsonParser::JsonParser() : state_(std::make_unique<State>()) {}
JsonParser::~JsonParser() = default;

std::optional<JsonError> JsonParser::size_error(uint64_t size) {
  return json_scan::check_input_size(size);
}

char* JsonParser::work_buffer(size_t max_size) {
  state_->indexed = {};
  return state_->work_buffer(max_size);
}

std::variant<DocumentRef, JsonError> JsonParser::parse_document(std::string_view text) {
  if (auto error = size_error(text.size())) return *error;
  std::memcpy(work_buffer(text.size()), text.data(), text.size());
  return parse_work_buffer(text.size());
}

void JsonParser::lend_text(std::string_view text, bool parse_in_place) {
  state_->lent = text;
  state_->indexed = {};
  state_->lent_in_place = parse_in_place;
}

std::string_view JsonParser::last_text() const { return state_->last; }

std::variant<DocumentRef, JsonError> JsonParser::State::parse(std::string_view lent, size_t size,
                                                              const Projection* projection,
                                                              bool* projected) {
  State& s = *this;
  *projected = false;
  // The text in the padded work buffer, copied there first if it was lent.
  bool in_buffer = lent.data() == nullptr;
  auto buffered = [&] {
    if (!in_buffer) {
      std::memcpy(work_buffer(size), lent.data(), size);
      in_buffer = true;
    }
    std::memset(s.buffer.get() + size, 0, simdjson::SIMDJSON_PADDING);
    s.last = std::string_view(s.buffer.get(), size);
    return s.last;
  };

  s.allocate(size, kParserDepth);

  // A text the projected reader does not take is parsed whole, which
  // decides whether it is valid and how it fails.
  if (projection) {
    // The whole parse sizes the document itself; the projected reader writes
    // it directly.
    const size_t document_size = std::max<size_t>(size, simdjson::dom::MINIMAL_DOCUMENT_CAPACITY);
    if (s.parser.doc.capacity() < document_size &&
        s.parser.doc.allocate(document_size) != simdjson::SUCCESS) {
      s.drop_parser();
      throw std::bad_alloc();
    }
    // The reader builds nothing that points into the text, so a lent text
    // it may read past the end of is read where it lies.
    const char* text = !in_buffer && readable_past_end(lent.data(), size) ? lent.data()
                                                                           : buffered().data();
    if (s.projected.read(s.parser, text, size, *projection)) {
      *projected = true;
      return s.parser.doc.root();
    }
  }
  // Nor does the whole parse, which unescapes strings into buffers of its
  // own; what it reads past the end does not change what it finds.
  std::string_view text;
  if (!in_buffer && s.lent_in_place && readable_past_end(lent.data(), size)) {
    s.last = text = std::string_view(lent.data(), size);
  } else {
    text = buffered();
  }
  auto parse = [&](dom::element* root) {
    const simdjson::error_code code =
        s.parser.parse(reinterpret_cast<const uint8_t*>(text.data()), size, false).get(*root);
    if (code == simdjson::MEMALLOC) {
      s.drop_parser();
      throw std::bad_alloc();
    }
    return code;
  };
  dom::element root;
  simdjson::error_code code = parse(&root);
  const bool deep = code == simdjson::DEPTH_ERROR;
  if (deep) {
    s.allocate(size, kRetryDepth);
    code = parse(&root);
  }
  // A text that fails is looked at again in the work buffer, padded alike
  // whatever it came from.
  if (code != simdjson::SUCCESS) {
    auto error = json_scan::diagnose(buffered());
    return error ? std::move(*error) : fallback_error(code);
  }
  if (deep) {
    if (auto error = depth_error(s.parser.doc, buffered())) return std::move(*error);
  }
  if (has_zero_double(s.parser.doc)) {
    const auto& stage1 = *s.parser.implementation;
    const uint64_t* tape = s.parser.doc.tape.get();
    // The values lie between the two root words.
    const std::span<const uint64_t> values(tape + 1,
                                           (tape[0] & simdjson::internal::JSON_VALUE_MASK) - 2);
    if (auto error = json_scan::long_exponent(text, stage1.structural_indexes.get(),
                                              stage1.n_structural_indexes, values))
      return std::move(*error);
  }
  return root;
}

std::variant<DocumentRef, JsonError> JsonParser::parse_work_buffer(size_t size,
                                                                   ReadingPlan* plan,
                                                                   bool (*poll)()) {
  State& s = *state_;
  std::string_view lent = std::exchange(s.lent, std::string_view());
  if (!lent.data()) lent = s.indexed;
  s.indexed = {};
  s.last = {};
  if (auto error = size_error(size)) return *error;
  return parse_sized(lent, size, plan, poll);
}

// Apart from parse_work_buffer(), so that the one value it returns is made
// where the caller takes it: moving it there read its last writes back
// before the processor could serve them, on every small text.
std::variant<DocumentRef, JsonError> JsonParser::parse_sized(std::string_view lent, size_t size,
                                                             ReadingPlan* plan, bool (*poll)()) {
  const Projection* projection = plan ? plan->next_read() : nullptr;
  bool projected = false;
  auto parsed = poll && size >= kParsedApartFrom
                    ? parse_apart(lent, size, projection, poll, &projected)
                    : state_->parse(lent, size, projection, &projected);
  if (projected) {
    plan->projected_read(state_->parser.doc.tape[0] & simdjson::internal::JSON_VALUE_MASK,
                         state_->parser.implementation->n_structural_indexes);
  }
  return parsed;
}

// A parse on a thread of its own, the caller waiting for it: what they
// share. Whoever lets go of it last frees it, and with it the parser's
// state, which becomes the thread's once the caller walks away.
struct JsonParser::Apart {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  bool abandoned = false;
  std::unique_ptr<State> orphan;  // the state the thread finishes in alone
  std::optional<std::variant<DocumentRef, JsonError>> result;
  bool projected = false;
  std::exception_ptr failure;
};

std::variant<DocumentRef, JsonError> JsonParser::parse_apart(std::string_view lent, size_t size,
                                                             const Projection* projection,
                                                             bool (*poll)(), bool* projected) {
  // The thread reads only what it owns: the text in the work buffer, a
  // copy of the projection.
  if (lent.data()) std::memcpy(work_buffer(size), lent.data(), size);
  auto apart = std::make_shared<Apart>();
  std::optional<Projection> copied;
  if (projection) copied.emplace(*projection);
  State* const state = state_.get();
  try {
    auto parse = [apart, state, size, copied = std::move(copied)]() mutable {
      std::optional<std::variant<DocumentRef, JsonError>> result;
      std::exception_ptr failure;
      bool taken = false;
      try {
        result = state->parse(std::string_view(), size, copied ? &*copied : nullptr, &taken);
      } catch (...) {
        failure = std::current_exception();
      }
      const std::lock_guard<std::mutex> lock(apart->mutex);
      if (apart->abandoned) return;  // the orphan goes with the last of `apart`
      apart->result = std::move(result);
      apart->projected = taken;
      apart->failure = failure;
      apart->done = true;
      apart->finished.notify_all();
    };
    runtime::start_quiet_thread("tv-parse-apart", std::move(parse)).detach();
  } catch (const std::system_error&) {
    return state_->parse(std::string_view(), size, projection, projected);
  }
  std::unique_lock<std::mutex> lock(apart->mutex);
  while (!apart->finished.wait_for(lock, kLookInterval, [&] { return apart->done; })) {
    lock.unlock();
    const bool stop = poll();
    lock.lock();
    if (stop && !apart->done) {
      // The thread finishes the parse alone and frees the state it parses
      // in; this parser goes on with a state of its own.
      apart->abandoned = true;
      apart->orphan = std::move(state_);
      state_ = std::make_unique<State>();
      throw runtime::Interrupted();
    }
  }
  if (apart->failure) std::rethrow_exception(apart->failure);
  *projected = apart->projected;
  return std::move(*apart->result);
}

std::optional<StructuralIndex> JsonParser::index_work_buffer(size_t size) {
  State& s = *state_;
  if (size == 0 || size_error(size)) return std::nullopt;
  s.allocate(size, kParserDepth);
  // A lent text is kept for a whole parse after a walk that does not take
  // it; a copy made here is made again then.
  s.indexed = std::exchange(s.lent, std::string_view());
  const char* text = s.indexed.data();
  if (!text || !readable_past_end(text, size)) {
    if (text) std::memcpy(s.work_buffer(size), text, size);
    std::memset(s.buffer.get() + size, 0, simdjson::SIMDJSON_PADDING);
    text = s.buffer.get();
  }
  const auto* bytes = reinterpret_cast<const uint8_t*>(text);
  auto& stage1 = *s.parser.implementation;
  if (stage1.stage1(bytes, size, simdjson::stage1_mode::regular) != simdjson::SUCCESS)
    return std::nullopt;
  return StructuralIndex{bytes, stage1.structural_indexes.get(),
                         static_cast<uint32_t>(stage1.n_structural_indexes)};
}

std::optional<DocumentRef> JsonParser::read_next(const IndexedTexts& texts, uint32_t k,
                                                 ReadingPlan& plan, uint32_t* next) {
  State& s = *state_;
  const Projection* projection = plan.next_read();
  if (!projection) return std::nullopt;
  const size_t document_size =
      std::max<size_t>(texts.size(), simdjson::dom::MINIMAL_DOCUMENT_CAPACITY);
  if (s.parser.doc.capacity() < document_size &&
      s.parser.doc.allocate(document_size) != simdjson::SUCCESS) {
    s.drop_parser();
    throw std::bad_alloc();
  }
  if (!s.projected.read_next(s.parser, texts, k, *projection, next)) return std::nullopt;
  plan.projected_read(s.parser.doc.tape[0] & simdjson::internal::JSON_VALUE_MASK, *next - k);
  return s.parser.doc.root();
}

void JsonParser::end_run() {
  state_->last = {};
  state_->indexed = {};
  state_->give_back_large_buffers();
}

std::variant<Value, JsonError> JsonParser::parse(std::string_view text, bool view_strings) {
  auto parsed = parse_document(text);
  if (auto* error = std::get_if<JsonError>(&parsed)) return std::move(*error);
  Value document = materialize(std::get<DocumentRef>(parsed), view_strings);
  if (!view_strings) end_run();
  return document;
}

}  // namespace tamsel
