// An avatar bundle or engine container, opened once and read-only: a
// directory, an IMX container or a ZIP archive, its form decided at opening
// by what the path is (directory, then the IMX magic "IMX\0", then a ZIP
// end-of-central-directory record; anything else holds no members).
//
// Members are addressed by basename inside IMX and ZIP (the last duplicate
// wins) and, inside a directory, as regular files by name: a FIFO, device or
// subdirectory is never a member. The container's table is read once; member
// bytes are read on request, in blocks of at most 1 MiB, so neither a member's
// size nor a size a damaged container declares decides how much memory is
// taken: an IMX range past the end of the file yields what is there, and a
// ZIP member is decompressed no further than its declared size and checked
// against its CRC.
//
// Thread contract: one thread at a time per Bundle (the archive reader keeps
// a position). Damaged containers raise ValueError, unreadable files OSError.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bundle/imx.h"
#include "common/errors.h"

namespace halvane {

// A member larger than a reader's bound.
struct MemberTooLarge : ValueError {
  using ValueError::ValueError;
};

class Bundle {
 public:
  enum class Form { none, dir, imx, zip };

  explicit Bundle(std::string path);
  ~Bundle();
  Bundle(Bundle&&) noexcept;
  Bundle& operator=(Bundle&&) noexcept;

  const std::string& path() const { return path_; }
  Form form() const { return form_; }

  bool has(std::string_view name) const;
  // The first of `names` the bundle holds.
  std::optional<std::string> first_of(const std::vector<std::string>& names) const;
  // How many bytes reading the member gives (a ZIP member: its declared size).
  uint64_t size(std::string_view name) const;

  // The whole member. A member of more than `max_bytes` is refused with
  // MemberTooLarge (a ValueError) before it is read, or as soon as it turns
  // out larger (a file that grew since).
  std::string read(std::string_view name, uint64_t max_bytes = std::numeric_limits<uint64_t>::max()) const;

  // Passes the member's bytes to `sink` in order, in blocks of at most 1 MiB;
  // an exception from `sink` ends the read.
  void for_each_block(std::string_view name, const std::function<void(const char*, size_t)>& sink) const;

  // Every member name: directory entries in file-system order (of any type);
  // IMX and ZIP basenames in table order, duplicates included.
  std::vector<std::string> listing() const;

  // An IMX container's member table in table order (empty for the other
  // forms).
  const std::vector<ImxEntry>& imx_table() const;
  // The container file's size in bytes when it was opened; 0 for a directory
  // or a path that is no file.
  uint64_t container_size() const;

  // A directory member's own file (bundle and name joined), else nullopt.
  std::optional<std::string> file_of(std::string_view name) const;

 private:
  struct Index;
  std::string path_;
  Form form_ = Form::none;
  std::unique_ptr<Index> ix_;
};

// The uncompressed content of the ZIP member with this basename (last
// duplicate wins) from an archive held in memory; nullopt when absent.
// Raises ValueError when the buffer is not an archive or the member is
// damaged (bad data, CRC mismatch, more or less data than declared).
std::optional<std::string> zip_member_from(std::string_view archive, std::string_view basename);

}  // namespace halvane
