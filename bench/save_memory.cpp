// Peak memory of one save into a SQLite file store. Builds a generated document
// of N tables (10,000 unless given as the first argument), turns it into JSON
// text and reads that back as the tool reads a document file, so the document
// in memory is the one a user's save holds. Then it resets the kernel's record
// of the peak resident set and runs one save in one transaction, and prints the
// resident set before the save and its peak during it, beside the size of the
// document as JSON text.
//
//   save_memory [tables]

#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "generated_document.h"
#include "kelmarion_core/json_reader.h"
#include "kelmarion_core/session.h"
#include "our_save.h"

namespace {

using kelmarion::meta::Document;

// A field of /proc/self/status ("VmRSS", "VmHWM"), in bytes; 0 when unreadable.
long status_bytes(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1) * 1024L;
  }
  return 0;
}

// Makes the kernel's peak resident set (VmHWM) start again from the current one.
void reset_peak() {
  std::ofstream clear_refs("/proc/self/clear_refs");
  clear_refs << "5";
}

double megabytes(long bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

// The generated document as it comes back from its JSON text; `json_bytes` gets
// the text's size. What building it took is given back to the system.
std::shared_ptr<Document> read_back_document(int tables, long& json_bytes) {
  std::string text = kelmarion::bench::generated_document(tables).dump();
  json_bytes = static_cast<long>(text.size());
  std::istringstream input(std::move(text));
  auto document =
      std::make_shared<Document>(kelmarion::core::read_json(input, {.room_for_keys = 2}));
  input = std::istringstream();
  malloc_trim(0);
  return document;
}

}  // namespace

int main(int argc, char** argv) {
  const int tables = argc > 1 ? std::atoi(argv[1]) : 10000;
  const auto path = std::filesystem::temp_directory_path() /
                    ("kelmarion-save-memory-" + std::to_string(getpid()) + ".db");
  std::filesystem::remove(path);
  try {
    long json_bytes = 0;
    auto document = read_back_document(tables, json_bytes);
    kelmarion::core::AsyncSession session(path.string());
    const long before = status_bytes("VmRSS");
    reset_peak();

    kelmarion::bench::save_in_transaction(session, document);

    const long peak = status_bytes("VmHWM");
    const auto ratio = [json_bytes](long bytes) {
      return static_cast<double>(bytes) / static_cast<double>(json_bytes);
    };
    std::printf("tables                      %d\n", tables);
    std::printf("document as JSON text       %8.1f MiB\n", megabytes(json_bytes));
    std::printf(
        "RSS when the save starts    %8.1f MiB  (%.2f x the JSON text: the document read)\n",
        megabytes(before), ratio(before));
    std::printf("peak RSS during the save    %8.1f MiB  (whole process: %.2f x the JSON text)\n",
                megabytes(peak), ratio(peak));
    std::printf("growth during the save      %8.1f MiB  (%.2f x the JSON text)\n",
                megabytes(peak - before), ratio(peak - before));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "save_memory: %s\n", error.what());
    std::filesystem::remove(path);
    return 1;
  }
  std::filesystem::remove(path);
  return 0;
}
