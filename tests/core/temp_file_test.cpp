#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>

#include "quarnet/io/file.hpp"
#include "quarnet/io/temp_file.hpp"

namespace io = quarnet::io;
namespace fs = std::filesystem;

namespace {

fs::path fresh_folder() {
  std::string templ = (fs::temp_directory_path() / "quarnet-temp-file-XXXXXX").string();
  if (::mkdtemp(templ.data()) == nullptr) ADD_FAILURE() << "mkdtemp";
  return templ;
}

std::set<std::string> listing(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

TEST(TempFile, ExtensionAsSplitextGivesIt) {
  const std::pair<const char*, const char*> cases[] = {
      {"sub_mesh.ply", ".ply"}, {"remain", ""}, {".bashrc", ""}, {"a.tar.gz", ".gz"}, {"..x", ""},
      {"a.", "."},              {"...a.b", ".b"}, {".a.b", ".b"}, {"", ""},
  };
  for (const auto& [name, ext] : cases) EXPECT_EQ(io::extension_of(name), ext) << name;
}

TEST(TempFile, NamesBesideTheTargetKeepItsExtension) {
  const std::string a = io::temp_name_beside("/data/obj 1/sub_mesh.ply");
  const std::string b = io::temp_name_beside("/data/obj 1/sub_mesh.ply");
  EXPECT_NE(a, b);
  EXPECT_TRUE(std::regex_match(a, std::regex(R"(/data/obj 1/\.sub_mesh\.ply\.tmp-[0-9a-f]{12}\.ply)"))) << a;
  EXPECT_TRUE(io::is_temp_name_of(a.substr(a.rfind('/') + 1), "sub_mesh.ply"));
  const std::string bare = io::temp_name_beside("cameras");
  EXPECT_TRUE(std::regex_match(bare, std::regex(R"(\.cameras\.tmp-[0-9a-f]{12})"))) << bare;
}

TEST(TempFile, RecognisesOnlyItsOwnNaming) {
  EXPECT_TRUE(io::is_temp_name_of(".sub_mesh.ply.tmp-0123456789ab.ply", "sub_mesh.ply"));
  EXPECT_TRUE(io::is_temp_name_of(".remain.tmp-ffffffffffff", "remain"));
  for (const char* other : {
           ".sub_mesh.ply.tmp-0123456789ab",       // no extension
           ".sub_mesh.ply.tmp-0123456789a.ply",    // 11 digits
           ".sub_mesh.ply.tmp-0123456789abc.ply",  // 13 digits
           ".sub_mesh.ply.tmp-0123456789AB.ply",   // upper case
           ".sub_mesh.ply.tmp-0123456789ag.ply",   // not hex
           "sub_mesh.ply.tmp-0123456789ab.ply",    // no leading dot
           ".sub_pcd.ply.tmp-0123456789ab.ply",    // another target
           ".sub_mesh.ply.tmp-0123456789ab.ply~",  // trailing text
           ".sub_mesh.ply.bak-0123456789ab.ply",
       }) {
    EXPECT_FALSE(io::is_temp_name_of(other, "sub_mesh.ply")) << other;
  }
}

TEST(TempFile, RemovesStaleFilesOfItsTargetOnly) {
  const fs::path dir = fresh_folder();
  const std::string stale1 = ".sub_mesh.ply.tmp-0123456789ab.ply", stale2 = ".sub_mesh.ply.tmp-aaaaaaaaaaaa.ply";
  const std::set<std::string> kept = {"sub_mesh.ply", ".sub_pcd.ply.tmp-0123456789ab.ply",
                                      ".sub_mesh.ply.tmp-0123456789ab", "0001.png"};
  for (const auto& name : {stale1, stale2}) std::ofstream(dir / name) << "partial";
  for (const auto& name : kept) std::ofstream(dir / name) << "keep";
  fs::create_directory(dir / ".sub_mesh.ply.tmp-bbbbbbbbbbbb.ply");  // never one of ours
  fs::create_symlink(dir / "0001.png", dir / ".sub_mesh.ply.tmp-cccccccccccc.ply");

  EXPECT_EQ(io::remove_stale_temp_files((dir / "sub_mesh.ply").string()), 2u);
  std::set<std::string> expected = kept;
  expected.insert({".sub_mesh.ply.tmp-bbbbbbbbbbbb.ply", ".sub_mesh.ply.tmp-cccccccccccc.ply"});
  EXPECT_EQ(listing(dir), expected);
  EXPECT_EQ(io::remove_stale_temp_files((dir / "sub_mesh.ply").string()), 0u);
  EXPECT_EQ(io::remove_stale_temp_files((dir / "missing" / "sub_mesh.ply").string()), 0u);
  fs::remove_all(dir);
}

TEST(TempFile, ProbeLeavesNothingAndStagedWritesUseTheNaming) {
  const fs::path dir = fresh_folder();
  EXPECT_EQ(io::probe_write_beside((dir / "sub_pcd.ply").string(), 100000), 0);
  EXPECT_TRUE(listing(dir).empty());
  EXPECT_EQ(io::probe_write_beside((dir / "missing" / "x.ply").string(), 1), ENOENT);
  const std::uint8_t bytes[] = {1, 2, 3};
  io::write_file_atomic((dir / "images.bin").string(), bytes);
  EXPECT_EQ(listing(dir), std::set<std::string>{"images.bin"});
  fs::remove_all(dir);
}

}  // namespace
