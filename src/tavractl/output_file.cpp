#include "output_file.h"

namespace tavra::ctl {

void writeOutputFile(const FileSystem& files, const std::string& path, std::string_view bytes) {
  files.writePlainly(path, bytes, fs::Links::follow, /*regularFileOnly=*/false);
}

void replaceOutputFile(const FileSystem& files, const std::string& path, std::string_view bytes) {
  files.writeAtomically(path, bytes, fs::WriteOptions{});
}

}  // namespace tavra::ctl
