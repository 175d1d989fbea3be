#include "zephan2/host/module_path.h"

#include <dlfcn.h>
#include <unistd.h>

#include <vector>

namespace halvane::zephan2 {

std::string abspath(const std::string& p) {
  std::string full = p;
  if (full.empty() || full[0] != '/') {
    std::vector<char> buf(4096);
    while (!::getcwd(buf.data(), buf.size())) buf.resize(buf.size() * 2);
    full = std::string(buf.data()) + "/" + p;
  }
  std::vector<std::string> parts;
  size_t i = 0;
  while (i <= full.size()) {
    size_t j = full.find('/', i);
    if (j == std::string::npos) j = full.size();
    std::string c = full.substr(i, j - i);
    if (c == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!c.empty() && c != ".") {
      parts.push_back(c);
    }
    i = j + 1;
  }
  std::string out;
  for (const auto& c : parts) out += "/" + c;
  return out.empty() ? "/" : out;
}

std::string host_module_dir() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&host_module_dir), &info) == 0 || !info.dli_fname) return abspath(".");
  std::string file = abspath(info.dli_fname);
  return file.substr(0, file.rfind('/') == 0 ? 1 : file.rfind('/'));
}

std::array<std::string, 2> policy_candidates(const std::string& module_dir) {
  return {abspath(module_dir + "/../../../tools"), abspath(module_dir)};
}

}  // namespace halvane::zephan2
