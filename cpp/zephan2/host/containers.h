// Avatar bundles and engine containers, read-only: a directory, an IMX
// container or a ZIP archive, chosen afresh on every call by what the path is
// (directory, then IMX magic "IMX\0", then a ZIP end-of-central-directory).
//
// Members are addressed by basename inside IMX and ZIP (the last duplicate
// wins) and by file name inside a directory. A member is returned whole; no
// declared size is trusted for an allocation: an IMX range past the end of
// the file yields what is there, and a ZIP member is decompressed no further
// than its declared size and checked against its CRC.
//
// Thread contract: no shared state; every call opens and closes what it reads.
// Damaged containers raise halvane::ValueError, unreadable files
// halvane::OSError.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace z2 {

struct ImxEntry {
  std::string nm;  // stored name, UTF-8, may hold "/" parts
  uint64_t off = 0;
  uint64_t size = 0;
};

// The member table, or nullopt when the file is not an IMX container (fewer
// than 8 bytes, or another magic). Raises for a table that ends early or a
// name that is not UTF-8.
std::optional<std::vector<ImxEntry>> imx_toc(const std::string& path);
// The same over bytes already in memory (the whole file).
std::optional<std::vector<ImxEntry>> imx_toc_from(std::string_view file);

struct Member {
  std::string name;   // the requested name
  std::string bytes;  // the whole member
};

// The first of `names` the bundle holds, or nullopt.
std::optional<Member> member_bytes(const std::string& bundle, const std::vector<std::string>& names);

// Every member name: directory entries in file-system order; IMX and ZIP
// basenames in table order, duplicates included.
std::vector<std::string> listing(const std::string& bundle);

// The uncompressed content of the ZIP member with this basename (last
// duplicate wins) from an archive held in memory; nullopt when absent.
// Raises halvane::ValueError when the buffer is not an archive or the member
// is damaged (bad data, CRC mismatch, more data than declared).
std::optional<std::string> zip_member_from(std::string_view archive, std::string_view basename);

}  // namespace z2
