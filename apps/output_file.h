#pragma once

// OutputFile: the file a command writes its document into (-o FILE). It is
// opened when made, before the command does any work, so that a path that
// cannot be written is refused before anything is saved; its old content stays
// until write() replaces it. A file that the OutputFile created and never wrote
// is removed again when it is destroyed (the command failed).

#include <string>
#include <string_view>

namespace kelmarion::apps {

class OutputFile {
 public:
  // Opens `path` for writing, creating it when absent. Throws UsageError
  // naming the file and the system's reason when it cannot be opened.
  explicit OutputFile(std::string path);
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  OutputFile(OutputFile&&) = delete;
  OutputFile& operator=(OutputFile&&) = delete;
  ~OutputFile();

  // Replaces the file's content with `text` and closes it; call once. Throws
  // std::system_error naming the file when the system refuses a write.
  void write(std::string_view text);

 private:
  std::string _path;
  int _descriptor = -1;
  bool _created = false;
};

}  // namespace kelmarion::apps
