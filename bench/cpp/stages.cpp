// One call of the module split into its native stages, over the real-world
// documents:
//   simdjson_dom        simdjson's DOM parse of an already padded text (bare)
//   simdjson_dom_copy   the same, with simdjson copying the text into padding
//   parse_document      JsonParser::parse_document: padded copy, simdjson and
//                       the check of the tape (what every call pays)
//   parse_build         JsonParser::parse: the same plus a Value tree of the
//                       whole document and its release (what fromjson pays)
//   evaluate/<query>    engine::evaluate over a parsed document's tape
//   to_json_text        rendering the whole document back to JSON text
// Conversion to Python objects is not here; the Python harness times it.
//
// Documents come from $TAMSEL_BENCH_DATA, or the folder named at build time.
#include <benchmark/benchmark.h>
#include <simdjson.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "engine/evaluator.h"
#include "engine/render.h"
#include "parser/parser.h"
#include "value/json.h"
#include "value/document_ref.h"

#ifndef TAMSEL_BENCH_DATA_DIR
#define TAMSEL_BENCH_DATA_DIR "../shared/bench-data"
#endif

namespace {

struct Document {
  std::string name;
  std::string text;
  tamsel::JsonParser parser;  // owns the tape `root` reads and `value` views into
  tamsel::DocumentRef root;
  tamsel::Value value;
};

struct Query {
  const char* document;
  const char* label;
  const char* text;
};

const Query kQueries[] = {
    {"twitter.json", "deep_path", ".statuses.[42].user.screen_name"},
    {"twitter.json", "select_construct",
     ".statuses.[] | select(.user.followers_count > 1000) | "
     "{id: .id_str, user: .user.screen_name, retweets: .retweet_count}"},
    {"twitter.json", "to_entries", ".statuses.[] | .user | to_entries"},
    {"twitter.json", "tojson", ".statuses.[] | tojson"},
    {"citm_catalog.json", "keys", ".events | keys"},
    {"citm_catalog.json", "select_construct",
     ".performances.[] | select(.venueCode == \"PLEYEL_PLEYEL\" and .start > 1380000000000) | "
     "{id: .id, event: .eventId, start: .start}"},
    {"numbers.json", "sort", "sort"},
    {"canada.json", "coordinates_x", ".features.[].geometry.coordinates.[].[].[0]"},
};

const char* const kDocuments[] = {
    "twitter.json",   "citm_catalog.json", "canada.json",      "github_events.json",
    "gsoc-2018.json", "mesh.json",         "numbers.json",     "marine_ik.json",
    "instruments.json", "update-center.json",
};

bool read_file(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  *out = s.str();
  return true;
}

void simdjson_dom(benchmark::State& state, const Document* doc) {
  simdjson::dom::parser parser;
  simdjson::padded_string padded(doc->text);
  for (auto _ : state) {
    auto element = parser.parse(padded);
    if (element.error()) {
      state.SkipWithError("simdjson refused the document");
      return;
    }
    benchmark::DoNotOptimize(element.value_unsafe());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(doc->text.size()));
}

void simdjson_dom_copy(benchmark::State& state, const Document* doc) {
  simdjson::dom::parser parser;
  for (auto _ : state) {
    auto element = parser.parse(doc->text.data(), doc->text.size(), true);
    if (element.error()) {
      state.SkipWithError("simdjson refused the document");
      return;
    }
    benchmark::DoNotOptimize(element.value_unsafe());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(doc->text.size()));
}

void parse_document(benchmark::State& state, const Document* doc) {
  tamsel::JsonParser parser;
  for (auto _ : state) {
    auto parsed = parser.parse_document(doc->text);
    if (std::holds_alternative<tamsel::JsonError>(parsed)) {
      state.SkipWithError("JsonParser refused the document");
      return;
    }
    benchmark::DoNotOptimize(parsed);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(doc->text.size()));
}

void parse_build(benchmark::State& state, const Document* doc) {
  tamsel::JsonParser parser;
  for (auto _ : state) {
    auto parsed = parser.parse(doc->text);
    if (std::holds_alternative<tamsel::JsonError>(parsed)) {
      state.SkipWithError("JsonParser refused the document");
      return;
    }
    benchmark::DoNotOptimize(parsed);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(doc->text.size()));
}

void evaluate(benchmark::State& state, const Document* doc, const tamsel::query::Pipeline* pipeline) {
  size_t results = 0;
  for (auto _ : state) {
    auto out = tamsel::engine::evaluate(*pipeline, tamsel::engine::EvalValue::document(doc->root), false);
    results = out.size();
    benchmark::DoNotOptimize(out);
  }
  state.counters["results"] = double(results);
}

void to_json_text(benchmark::State& state, const Document* doc) {
  size_t bytes = 0;
  for (auto _ : state) {
    std::string text = tamsel::engine::to_json_text(doc->value);
    bytes = text.size();
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
}

}  // namespace

int main(int argc, char** argv) {
  const char* env = std::getenv("TAMSEL_BENCH_DATA");
  const std::string dir = env && *env ? env : TAMSEL_BENCH_DATA_DIR;

  static std::vector<std::unique_ptr<Document>> documents;
  static std::vector<std::unique_ptr<tamsel::query::Pipeline>> pipelines;
  for (const char* name : kDocuments) {
    auto doc = std::make_unique<Document>();
    doc->name = name;
    if (!read_file(dir + "/" + name, &doc->text)) continue;
    auto parsed = doc->parser.parse_document(doc->text);
    if (auto* error = std::get_if<tamsel::JsonError>(&parsed)) {
      std::cerr << name << ": " << error->message() << "\n";
      continue;
    }
    doc->root = std::get<tamsel::DocumentRef>(parsed);
    doc->value = tamsel::materialize(doc->root);
    documents.push_back(std::move(doc));
  }
  if (documents.empty()) {
    std::cerr << "no documents found in " << dir << " (set TAMSEL_BENCH_DATA)\n";
  }

  for (const auto& doc : documents) {
    const Document* d = doc.get();
    benchmark::RegisterBenchmark(("simdjson_dom/" + d->name).c_str(), simdjson_dom, d);
    benchmark::RegisterBenchmark(("simdjson_dom_copy/" + d->name).c_str(), simdjson_dom_copy, d);
    benchmark::RegisterBenchmark(("parse_document/" + d->name).c_str(), parse_document, d);
    benchmark::RegisterBenchmark(("parse_build/" + d->name).c_str(), parse_build, d);
    benchmark::RegisterBenchmark(("to_json_text/" + d->name).c_str(), to_json_text, d);
    for (const Query& q : kQueries) {
      if (d->name != q.document) continue;
      auto compiled = tamsel::query::compile_query(q.text);
      if (auto* error = std::get_if<tamsel::query::CompileError>(&compiled)) {
        std::cerr << q.text << ": " << error->message << "\n";
        continue;
      }
      pipelines.push_back(
          std::make_unique<tamsel::query::Pipeline>(std::move(std::get<tamsel::query::Pipeline>(compiled))));
      benchmark::RegisterBenchmark(("evaluate/" + d->name + "/" + q.label).c_str(), evaluate, d,
                                   pipelines.back().get());
    }
  }

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
