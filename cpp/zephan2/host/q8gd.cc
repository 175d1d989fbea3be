#include "zephan2/host/q8gd.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <nlohmann/json.hpp>
#include <string_view>
#include <vector>

#include "common/errors.h"
#include "common/fs.h"
#include "common/pyint.h"
#include "zephan2/inference/constants.h"

namespace z2 {

Q8gdError::Q8gdError(std::string k, const std::string& message) : std::runtime_error(message), kind(std::move(k)) {}

namespace {

using json = nlohmann::json;
// The selection reads the manifest in file order, so the text form of an
// object shows its keys as written.
using ojson = nlohmann::ordered_json;

constexpr size_t kHashBlock = 4194304;
constexpr size_t kLineBlock = 65536;
// Values nested deeper than this are refused where they are walked, as
// Python's recursion limit would, instead of exhausting the stack.
constexpr int kMaxDepth = 1000;

const std::string kCombined(COMBINED_MEMBER);
const std::string kVariant(Q8GD_MEMBER);
const std::string kHeaderKey(Q8GD_HEADER_KEY);
const std::string kNotBound = "the header does not bind it (no members_sha256 entry / litert_q8gd block)";
const std::string kNoGate = "gate runtime not recorded (published before 2026-10-05)";
const std::string kNoInt8Dot =
    "this CPU has no int8 dot product (no avx512_vnni / avx_vnni; int8 measured 0.88-0.93x on AVX2)";

// ---- files ----

// A file opened for reading the way Python's open() does it: a path with a
// NUL byte is a ValueError, a directory is refused at open, and interrupted
// calls are retried. Open errors name the file; read errors do not.
class InFile {
 public:
  explicit InFile(const std::string& path) {
    if (path.find('\0') != std::string::npos) throw halvane::ValueError("embedded null byte");
    do fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) {
      const int err = errno;
      throw halvane::OSError(err, path);
    }
    struct stat st;
    if (::fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode)) {
      ::close(fd_);
      throw halvane::OSError(EISDIR, path);
    }
  }
  ~InFile() { ::close(fd_); }
  InFile(const InFile&) = delete;
  InFile& operator=(const InFile&) = delete;

  size_t read(void* buf, size_t n) {
    for (;;) {
      ssize_t r = ::read(fd_, buf, n);
      if (r >= 0) return static_cast<size_t>(r);
      const int err = errno;
      if (err != EINTR) throw halvane::OSError(err);
    }
  }

 private:
  int fd_ = -1;
};

std::string read_all(const std::string& path) {
  InFile f(path);
  std::string out;
  std::vector<char> buf(kLineBlock);
  while (size_t n = f.read(buf.data(), buf.size())) out.append(buf.data(), n);
  return out;
}

// The first line beginning with "flags" (lines end at "\n", "\r" or "\r\n"),
// or nullopt. Other lines are kept only as far as needed to tell.
std::optional<std::string> first_flags_line(const std::string& path) {
  InFile f(path);
  std::string line;
  bool other = false;
  std::vector<char> buf(kLineBlock);
  for (;;) {
    const size_t n = f.read(buf.data(), buf.size());
    for (size_t i = 0; i < n; ++i) {
      const char c = buf[i];
      if (c == '\n' || c == '\r') {
        if (!other && line.starts_with("flags")) return line;
        line.clear();
        other = false;
      } else if (!other) {
        line += c;
        other = line.size() == 5 && line != "flags";
      }
    }
    if (n == 0) break;
  }
  if (!other && line.starts_with("flags")) return line;
  return std::nullopt;
}

// ---- Python's text rules ----

// Python's strict UTF-8 decoder: the first bad sequence raises
// UnicodeDecodeError with the decoder's own wording and byte positions.
void check_utf8(std::string_view text) {
  const auto* b = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    const unsigned c = b[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    const size_t len = c < 0xC2 ? 0 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : c < 0xF5 ? 4 : 0;
    const char* why = "invalid start byte";
    size_t end = i + 1;  // the bad bytes are [i, end)
    if (len) {
      // Overlong forms, surrogates and code points past U+10FFFF are ruled
      // out by the second byte's range.
      const unsigned lo = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
      const unsigned hi = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
      size_t k = 1;
      for (; k < len && i + k < n; ++k) {
        const unsigned d = b[i + k];
        if (k == 1 ? (d < lo || d > hi) : (d & 0xC0) != 0x80) break;
      }
      if (k == len) {
        i += len;
        continue;
      }
      if (i + k == n) {
        why = "unexpected end of data";
        end = n;
      } else {
        why = "invalid continuation byte";
        end = i + k;
      }
    }
    char msg[160];
    if (end - i == 1)
      std::snprintf(msg, sizeof msg, "'utf-8' codec can't decode byte 0x%02x in position %zu: %s", c, i, why);
    else
      std::snprintf(msg, sizeof msg, "'utf-8' codec can't decode bytes in position %zu-%zu: %s", i, end - 1, why);
    throw Q8gdError("UnicodeDecodeError", msg);
  }
}

// Code points of UTF-8 text; bytes outside a valid sequence stand alone as -1.
std::vector<std::pair<long, size_t>> code_points(std::string_view s) {
  std::vector<std::pair<long, size_t>> out;  // (code point, byte offset)
  for (size_t i = 0; i < s.size();) {
    const unsigned c = static_cast<unsigned char>(s[i]);
    const size_t len = c < 0x80 ? 1 : c < 0xC2 ? 0 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : c < 0xF5 ? 4 : 0;
    long cp = len == 1 ? c : len ? static_cast<long>(c & (0x7F >> len)) : -1;
    size_t k = 1;
    for (; len > 1 && k < len && i + k < s.size() && (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80; ++k)
      cp = cp << 6 | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    if (len == 0 || k < len) cp = -1, k = 1;
    out.emplace_back(cp, i);
    i += k;
  }
  return out;
}

bool py_space(long c) {
  return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20) || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// str.strip() followed by str.lower(). Lower-casing stays ASCII: a text that
// is not ASCII after stripping can never be one of the switch's words.
std::string strip_lower(std::string_view s) {
  const auto cps = code_points(s);
  size_t b = 0, e = cps.size();
  while (b < e && py_space(cps[b].first)) ++b;
  while (e > b && py_space(cps[e - 1].first)) --e;
  const size_t from = b < cps.size() ? cps[b].second : s.size();
  const size_t to = e < cps.size() ? cps[e].second : s.size();
  std::string out(s.substr(from, to - from));
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// repr() of a float: the shortest round-trip digits, positional for decimal
// exponents -4 < e <= 16, else d.ddde+XX.
std::string float_repr(double d) {
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  std::string_view s(buf, static_cast<size_t>(r.ptr - buf));
  std::string out;
  if (s.front() == '-') {
    out = "-";
    s.remove_prefix(1);
  }
  const size_t e = s.find('e');
  int exp = 0;
  std::from_chars(s.data() + e + 1 + (s[e + 1] == '+'), s.data() + s.size(), exp);
  std::string digits;
  for (char c : s.substr(0, e))
    if (c != '.') digits += c;
  const int n = static_cast<int>(digits.size());
  const int point = exp + 1;  // digits before the decimal point
  if (point > -4 && point <= 16) {
    if (point <= 0) return out + "0." + std::string(static_cast<size_t>(-point), '0') + digits;
    if (point >= n) return out + digits + std::string(static_cast<size_t>(point - n), '0') + ".0";
    return out + digits.substr(0, static_cast<size_t>(point)) + "." + digits.substr(static_cast<size_t>(point));
  }
  out += digits.substr(0, 1);
  if (n > 1) out += "." + digits.substr(1);
  const int a = std::abs(exp);
  return out + (exp < 0 ? "e-" : "e+") + (a < 10 ? "0" : "") + std::to_string(a);
}

[[noreturn]] void too_deep() { throw Q8gdError("RecursionError", "maximum recursion depth exceeded"); }

template <class J>
std::string type_name(const J& v) {
  switch (v.type()) {
    case J::value_t::boolean: return "bool";
    case J::value_t::number_integer:
    case J::value_t::number_unsigned: return "int";
    case J::value_t::number_float: return "float";
    case J::value_t::string: return "str";
    case J::value_t::array: return "list";
    case J::value_t::object: return "dict";
    case J::value_t::binary: return "bytes";
    default: return "NoneType";
  }
}

// Python truth: None, False, 0, 0.0, "", [] and {} are false.
template <class J>
bool truthy(const J& v) {
  switch (v.type()) {
    case J::value_t::boolean: return v.template get<bool>();
    case J::value_t::number_integer: return v.template get<int64_t>() != 0;
    case J::value_t::number_unsigned: return v.template get<uint64_t>() != 0;
    case J::value_t::number_float: return v.template get<double>() != 0.0;
    case J::value_t::string: return !v.template get_ref<const typename J::string_t&>().empty();
    case J::value_t::array:
    case J::value_t::object: return !v.empty();
    case J::value_t::binary: return !v.get_binary().empty();
    default: return false;
  }
}

// Python's == on decoded JSON: numbers (bools as 0 and 1) compare by exact
// value across int and float; other values only with their own type.
template <class J>
bool py_eq(const J& a, const J& b, int depth = 0) {
  if (depth > kMaxDepth) too_deep();
  const auto numeric = [](const J& v) { return v.is_number() || v.is_boolean(); };
  if (numeric(a) && numeric(b)) {
    const auto as_int = [](const J& v) -> __int128 {
      if (v.is_boolean()) return v.template get<bool>();
      if (v.is_number_unsigned()) return v.template get<uint64_t>();
      return v.template get<int64_t>();
    };
    if (a.is_number_float() && b.is_number_float()) return a.template get<double>() == b.template get<double>();
    if (!a.is_number_float() && !b.is_number_float()) return as_int(a) == as_int(b);
    const J& f = a.is_number_float() ? a : b;
    const J& i = a.is_number_float() ? b : a;
    const double d = f.template get<double>();
    return std::isfinite(d) && d == std::floor(d) && std::fabs(d) < 0x1p66 && static_cast<__int128>(d) == as_int(i);
  }
  if (a.type() != b.type()) return false;
  if (a.is_array()) {
    if (a.size() != b.size()) return false;
    for (size_t k = 0; k < a.size(); ++k)
      if (!py_eq(a[k], b[k], depth + 1)) return false;
    return true;
  }
  if (a.is_object()) {
    if (a.size() != b.size()) return false;
    for (auto it = a.begin(); it != a.end(); ++it) {
      auto jt = b.find(it.key());
      if (jt == b.end() || !py_eq(it.value(), *jt, depth + 1)) return false;
    }
    return true;
  }
  return a == b;  // null, string, binary
}

// str() of a decoded JSON value (repr() inside lists and objects).
template <class J>
std::string py_text(const J& v, bool quoted = false, int depth = 0) {
  if (depth > kMaxDepth) too_deep();
  switch (v.type()) {
    case J::value_t::boolean: return v.template get<bool>() ? "True" : "False";
    case J::value_t::number_integer: return std::to_string(v.template get<int64_t>());
    case J::value_t::number_unsigned: return std::to_string(v.template get<uint64_t>());
    case J::value_t::number_float: return float_repr(v.template get<double>());
    case J::value_t::string: {
      const auto& s = v.template get_ref<const typename J::string_t&>();
      return quoted ? halvane::py_repr(s) : s;
    }
    case J::value_t::array: {
      std::string out = "[";
      for (size_t k = 0; k < v.size(); ++k) out += (k ? ", " : "") + py_text(v[k], true, depth + 1);
      return out + "]";
    }
    case J::value_t::object: {
      std::string out = "{";
      for (auto it = v.begin(); it != v.end(); ++it)
        out += (it == v.begin() ? "" : ", ") + halvane::py_repr(it.key()) + ": " + py_text(it.value(), true, depth + 1);
      return out + "}";
    }
    default: return "None";
  }
}

template <class J>
std::string text12(const J& v) {
  return std::string(halvane::utf8_prefix(py_text(v), 12));
}

// v[:12] in text form: the first 12 characters of a text, the first 12
// entries of a list; other values cannot be sliced.
template <class J>
std::string slice12(const J& v) {
  if (v.is_string()) return std::string(halvane::utf8_prefix(v.template get_ref<const typename J::string_t&>(), 12));
  if (v.is_array()) {
    J head = J::array();
    for (size_t k = 0; k < std::min<size_t>(12, v.size()); ++k) head.push_back(v[k]);
    return py_text(head);
  }
  if (v.is_object()) throw Q8gdError("TypeError", "unhashable type: 'slice'");
  throw Q8gdError("TypeError", "'" + type_name(v) + "' object is not subscriptable");
}

template <class J>
const J& none() {
  static const J null_value;
  return null_value;
}

// `v` read as an object with .get(): an empty value stands for an empty
// object (nullptr); any other value that is not an object has no keys.
template <class J>
const J* as_object(const J& v) {
  if (!truthy(v)) return nullptr;
  if (!v.is_object()) throw Q8gdError("AttributeError", "'" + type_name(v) + "' object has no attribute 'get'");
  return &v;
}

// obj.get(key): the value, or None when absent.
template <class J>
const J& get(const J* obj, const std::string& key) {
  if (!obj) return none<J>();
  auto it = obj->find(key);
  return it == obj->end() ? none<J>() : *it;
}

template <class J>
std::pair<std::optional<J>, std::string> bound(const J& manifest) {
  const J* m = as_object(manifest);
  const J* decl = as_object(get(m, "members_sha256"));
  const J& blk = get(m, kHeaderKey);
  const J& want = get(decl, kVariant);
  if (!blk.is_object() || !truthy(want)) return {std::nullopt, kNotBound};
  if (!py_eq(get(&blk, "sha256"), want)) return {std::nullopt, "litert_q8gd.sha256 disagrees with members_sha256"};
  const J& base = get(decl, kCombined);
  const J& cut = get(&blk, "base_sha256");
  if (!py_eq(get(&blk, "base_member"), J(kCombined)) || !truthy(base) || !py_eq(cut, base))
    return {std::nullopt, "STALE: cut from " + kCombined + " " + text12(cut) + ", the header declares " + text12(base)};
  return {want, "bound"};
}

template <class J>
std::pair<bool, std::string> runtime_ok(const J& manifest, const std::optional<std::string>& running) {
  const J& gate = get(as_object(get(as_object(manifest), kHeaderKey)), "gate");
  const J& want = gate.is_object() ? get(&gate, "runtime") : none<J>();
  if (!truthy(want)) return {true, kNoGate};
  const std::string w = py_text(want);
  if (!running) return {false, "gated on ai-edge-litert " + w + ", this process's runtime is unreadable"};
  if (!want.is_string() || want.template get_ref<const typename J::string_t&>() != *running)
    return {false, "gated on ai-edge-litert " + w + ", this process runs " + *running + " — re-gate it"};
  return {true, "gated on this runtime (ai-edge-litert " + *running + ")"};
}

ojson read_manifest(const std::string& path) {
  const std::string bytes = read_all(path);
  check_utf8(bytes);
  // Python's reader refuses a byte-order mark; this one would skip it.
  if (bytes.starts_with("\xEF\xBB\xBF"))
    throw Q8gdError("JSONDecodeError", "Unexpected UTF-8 BOM (decode using utf-8-sig): line 1 column 1 (char 0)");
  try {
    return ojson::parse(bytes);
  } catch (const ojson::exception& e) {
    std::string why = e.what();
    if (auto p = why.find("] "); why.starts_with("[json.exception.") && p != std::string::npos) why.erase(0, p + 2);
    throw Q8gdError("JSONDecodeError", why);
  }
}

// The name of the OSError subclass Python raises for an errno.
std::string os_error_kind(int e) {
  switch (e) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EALREADY:
    case EINPROGRESS: return "BlockingIOError";
    case ECHILD: return "ChildProcessError";
    case EPIPE:
    case ESHUTDOWN: return "BrokenPipeError";
    case ECONNABORTED: return "ConnectionAbortedError";
    case ECONNREFUSED: return "ConnectionRefusedError";
    case ECONNRESET: return "ConnectionResetError";
    case EEXIST: return "FileExistsError";
    case ENOENT: return "FileNotFoundError";
    case EISDIR: return "IsADirectoryError";
    case ENOTDIR: return "NotADirectoryError";
    case EINTR: return "InterruptedError";
    case EACCES:
    case EPERM: return "PermissionError";
    case ESRCH: return "ProcessLookupError";
    case ETIMEDOUT: return "TimeoutError";
    default: return "OSError";
  }
}

// "{kind}: {message}" of an error, with Python's kind names and message forms.
std::string error_text(const std::exception& e) {
  if (auto* q = dynamic_cast<const Q8gdError*>(&e)) return q->kind + ": " + q->what();
  if (auto* o = dynamic_cast<const halvane::OSError*>(&e)) {
    std::string msg = "[Errno " + std::to_string(o->err) + "] " + o->what();
    if (!o->filename.empty()) msg += ": " + halvane::py_repr(o->filename);
    return os_error_kind(o->err) + ": " + msg;
  }
  if (dynamic_cast<const halvane::IndexError*>(&e)) return std::string("IndexError: ") + e.what();
  if (dynamic_cast<const halvane::ValueError*>(&e)) return std::string("ValueError: ") + e.what();
  if (dynamic_cast<const halvane::ZeroDivisionError*>(&e)) return std::string("ZeroDivisionError: ") + e.what();
  if (dynamic_cast<const std::bad_alloc*>(&e)) return "MemoryError: ";
  return std::string("RuntimeError: ") + e.what();
}

Q8gdChoice fallback(const std::string& why) {
  return {std::nullopt, std::string(Q8GD_LOG) + " FALLBACK: " + why + " — serving " + kCombined};
}

Q8gdChoice select(const std::string& bundle, const RuntimeVersionFn& runtime_version, const std::string& cpuinfo) {
  if (!halvane::is_dir(bundle)) return {};
  const std::string p = halvane::join_path(bundle, kVariant);
  if (!halvane::is_regular_file(p)) return {};

  const std::string env_name(Q8GD_ENV);
  const char* env = std::getenv(env_name.c_str());
  const std::string mode = strip_lower(env && *env ? env : "auto");
  if (mode == "0" || mode == "off" || mode == "false" || mode == "no")
    return {std::nullopt, std::string(Q8GD_LOG) + " off (" + env_name + "=" + mode + ") — serving " + kCombined};

  const std::optional<std::string> isa = int8_dot_isa(cpuinfo);
  if (!isa) return fallback(kNoInt8Dot);

  const ojson manifest = read_manifest(halvane::join_path(bundle, "manifest.json"));
  const auto [want, why] = bound(manifest);
  if (!want) return fallback(why);

  const std::optional<std::string> running = runtime_version ? runtime_version() : std::nullopt;
  const auto [rt_ok, rt_why] = runtime_ok(manifest, running);
  if (!rt_ok) return fallback(rt_why);

  const std::string digest = file_sha256(p);
  if (!want->is_string() || want->get_ref<const std::string&>() != digest)
    return fallback("bytes " + digest.substr(0, 12) + " != declared " + slice12(*want));
  return {p, std::string(Q8GD_LOG) + " SELECTED " + kVariant + " (int8 decoder; cpu " + *isa + "; sha " +
                 slice12(*want) + " bound; " + rt_why + ")"};
}

}  // namespace

Q8gdChoice select_q8gd(const std::string& bundle, const RuntimeVersionFn& runtime_version, const std::string& cpuinfo) {
  try {
    return select(bundle, runtime_version, cpuinfo);
  } catch (const std::exception& e) {
    return fallback(error_text(e));
  }
}

std::optional<std::string> int8_dot_isa(const std::string& cpuinfo) {
  std::optional<std::string> line;
  try {
    line = first_flags_line(cpuinfo);
  } catch (const halvane::OSError&) {
    return std::nullopt;
  }
  if (!line) return std::nullopt;
  const size_t colon = line->find(':');
  if (colon == std::string::npos) throw halvane::IndexError("list index out of range");
  std::vector<std::string_view> tokens;
  const std::string_view rest = std::string_view(*line).substr(colon + 1);
  const auto space = [](char c) { return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20); };
  for (size_t i = 0; i < rest.size();) {
    while (i < rest.size() && space(rest[i])) ++i;
    size_t j = i;
    while (j < rest.size() && !space(rest[j])) ++j;
    if (j > i) tokens.push_back(rest.substr(i, j - i));
    i = j;
  }
  for (std::string_view flag : INT8_DOT_FLAGS)
    if (std::find(tokens.begin(), tokens.end(), flag) != tokens.end()) return std::string(flag);
  return std::nullopt;
}

std::pair<std::optional<json>, std::string> q8gd_bound(const json& manifest) { return bound(manifest); }

std::pair<bool, std::string> q8gd_runtime_ok(const json& manifest, const std::optional<std::string>& running) {
  return runtime_ok(manifest, running);
}

std::string file_sha256(const std::string& path) {
  InFile f(path);
  struct CtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
  };
  std::unique_ptr<EVP_MD_CTX, CtxFree> ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1)
    throw halvane::RuntimeError("SHA-256 is not available");
  std::vector<unsigned char> buf(kHashBlock);
  while (size_t n = f.read(buf.data(), buf.size()))
    if (EVP_DigestUpdate(ctx.get(), buf.data(), n) != 1) throw halvane::RuntimeError("SHA-256 update failed");
  std::array<unsigned char, EVP_MAX_MD_SIZE> md;
  unsigned len = 0;
  if (EVP_DigestFinal_ex(ctx.get(), md.data(), &len) != 1) throw halvane::RuntimeError("SHA-256 final failed");
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned i = 0; i < len; ++i) {
    out += hex[md[i] >> 4];
    out += hex[md[i] & 15];
  }
  return out;
}

}  // namespace z2
