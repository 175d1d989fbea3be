// What each end of a model load puts back of the avatar's previous model,
// and in which order.
#include "avatar/model.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

using halvane::avatar::LoadEnd;
using halvane::avatar::ModelBefore;
using halvane::avatar::put_back;

// Notes each write as "what=value;".
struct Avatar {
  std::string writes;
  void set_engine_id(const std::string& v) { writes += "id=" + v + ";"; }
  void forget_engine_id() { writes += "id-;"; }
  void set_fixture(const std::string& v) { writes += "fixture=" + v + ";"; }
  void set_runtime(const std::string& v) { writes += "runtime=" + v + ";"; }
};

TEST(PutBack, OnlyAFailedLoadRestoresThePreviousModel) {
  const ModelBefore<std::string> with_id{std::string("old"), "F", "R"};
  const ModelBefore<std::string> without_id{std::nullopt, "None", "None"};
  struct Row {
    const char* what;
    LoadEnd end;
    const ModelBefore<std::string>& before;
    bool restored;
    const char* writes;
  } rows[] = {
      {"failed: all three back", LoadEnd::failed, with_id, true, "id=old;fixture=F;runtime=R;"},
      {"failed, first model: the new id goes", LoadEnd::failed, without_id, true,
       "id-;fixture=None;runtime=None;"},
      {"loaded", LoadEnd::loaded, with_id, false, ""},
      {"abandoned: the loader still installs it", LoadEnd::abandoned, with_id, false, ""},
      {"abandoned, first model", LoadEnd::abandoned, without_id, false, ""},
  };
  for (const Row& r : rows) {
    Avatar a;
    EXPECT_EQ(put_back(r.end, r.before, a), r.restored) << r.what;
    EXPECT_EQ(a.writes, r.writes) << r.what;
  }
}

}  // namespace
