// Peak memory of one save into a SQLite file store: builds a generated document
// of N tables (10,000 unless given as the first argument), then records the
// resident set before one save in one transaction (current, from /proc) and the
// peak after it (getrusage), and prints both next to the size of the document as
// JSON text. The document in memory is built before: the whole process's peak
// includes it, the growth during the save does not.
//
//   save_memory [tables]

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>

#include "generated_document.h"
#include "kelmarion_core/session.h"
#include "our_save.h"

namespace {

using kelmarion::meta::Document;

// The peak resident set of this process so far, in bytes.
long peak_rss_bytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss * 1024L;  // Linux reports kilobytes
}

// The current resident set of this process, in bytes.
long current_rss_bytes() {
  long pages = 0;
  long resident = 0;
  if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(statm);
  }
  return resident * sysconf(_SC_PAGESIZE);
}

double megabytes(long bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

}  // namespace

int main(int argc, char** argv) {
  const int tables = argc > 1 ? std::atoi(argv[1]) : 10000;
  const auto path = std::filesystem::temp_directory_path() /
                    ("kelmarion-save-memory-" + std::to_string(getpid()) + ".db");
  std::filesystem::remove(path);
  try {
    auto document = std::make_shared<Document>(kelmarion::bench::generated_document(tables));
    const auto json_bytes = static_cast<long>(document->dump().size());
    kelmarion::core::AsyncSession session(path.string());
    const long peak_before = peak_rss_bytes();
    const long before = current_rss_bytes();

    kelmarion::bench::save_in_transaction(session, document);

    const long after = peak_rss_bytes();
    const long growth = after - before;
    std::printf("tables                      %d\n", tables);
    std::printf("document as JSON text       %8.1f MiB\n", megabytes(json_bytes));
    std::printf("peak RSS before the save    %8.1f MiB  (building the document)\n",
                megabytes(peak_before));
    std::printf("RSS when the save starts    %8.1f MiB  (%.2f x the JSON text)\n",
                megabytes(before), static_cast<double>(before) / static_cast<double>(json_bytes));
    std::printf("peak RSS after the save     %8.1f MiB  (whole process: %.2f x the JSON text)\n",
                megabytes(after), static_cast<double>(after) / static_cast<double>(json_bytes));
    std::printf("growth during the save      %8.1f MiB  (%.2f x the JSON text; target < 4)\n",
                megabytes(growth), static_cast<double>(growth) / static_cast<double>(json_bytes));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "save_memory: %s\n", error.what());
    std::filesystem::remove(path);
    return 1;
  }
  std::filesystem::remove(path);
  return 0;
}
