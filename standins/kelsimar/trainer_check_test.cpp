#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "manifest.hpp"
#include "object_check.hpp"
#include "quarnet/errors.hpp"

namespace fs = std::filesystem;
using quarnet::ArgumentError;
using quarnet::OsError;
using namespace kelsimar;

namespace {

struct TempDir {
  fs::path path;
  TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "trainer-check-XXXXXX").string();
    path = ::mkdtemp(tmpl.data());
  }
  ~TempDir() { fs::remove_all(path); }
};

void touch(const fs::path& p, const std::string& text = "x") { std::ofstream(p) << text; }

std::string slurp(const fs::path& p) {
  std::ifstream in(p);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<std::string> full_args() {
  return {"--source-path", "/data/scene", "--model-path", "/out", "--mask-path", "/data/masks/chair",
          "--text",        "chair",       "--images",     "images", "--n4views", "14"};
}

template <class F>
std::string argument_error(F&& f) {
  try {
    f();
  } catch (const ArgumentError& e) {
    return e.what();
  }
  return "no ArgumentError";
}

template <class F>
int os_error(F&& f, std::string* path = nullptr) {
  try {
    f();
  } catch (const OsError& e) {
    if (path) *path = e.path();
    return e.code();
  }
  return 0;
}

ObjectRun sample_run() {
  ObjectRun run;
  run.source_path = "/data/scene";
  run.model_path = "/out";
  run.mask_path = "/data/masks/chair";
  run.text = "chair";
  run.images = "images";
  run.n4views = 14;
  return run;
}

}  // namespace

TEST(TrainerArguments, ParsesEveryOptionInAnyOrder) {
  auto args = full_args();
  ObjectRun run = parse_arguments(args);
  EXPECT_EQ(run.source_path, "/data/scene");
  EXPECT_EQ(run.model_path, "/out");
  EXPECT_EQ(run.mask_path, "/data/masks/chair");
  EXPECT_EQ(run.text, "chair");
  EXPECT_EQ(run.images, "images");
  EXPECT_EQ(run.n4views, 14);
  EXPECT_FALSE(run.checkpoint);

  std::vector<std::string> reordered = {"--checkpoint", "--odd", "--n4views", "3",      "--text",
                                        "--images",     "--images", "imgs",   "--mask-path", "m",
                                        "--model-path", "o",        "--source-path", "s"};
  run = parse_arguments(reordered);
  EXPECT_EQ(run.checkpoint.value(), "--odd");  // a value is taken as is
  EXPECT_EQ(run.text, "--images");
  EXPECT_EQ(run.images, "imgs");
  EXPECT_EQ(run.n4views, 3);
}

TEST(TrainerArguments, RejectsMalformedCommandLines) {
  auto with = [](std::vector<std::string> extra) {
    auto args = full_args();
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  };
  auto parse = [](std::vector<std::string> args) { return [args] { parse_arguments(args); }; };
  EXPECT_EQ(argument_error(parse(with({"--epochs", "3"}))), "unknown option '--epochs'");
  EXPECT_EQ(argument_error(parse(with({"--text", "again"}))), "option --text given twice");
  EXPECT_EQ(argument_error(parse(with({"--checkpoint"}))), "option --checkpoint needs a value");
  auto args = full_args();
  args.erase(args.begin() + 6, args.begin() + 8);
  EXPECT_EQ(argument_error(parse(args)), "missing option --text");
}

TEST(TrainerArguments, RejectsBadValues) {
  auto with_value = [](const std::string& flag, const std::string& value) {
    auto args = full_args();
    for (std::size_t i = 0; i < args.size(); i += 2)
      if (args[i] == flag) args[i + 1] = value;
    return [args] { parse_arguments(args); };
  };
  for (const char* bad : {"0", "-3", "14x", "", "abc", " 14", "99999999999999999999"})
    EXPECT_EQ(argument_error(with_value("--n4views", bad)),
              std::string("--n4views must be a positive integer, got '") + bad + "'");
  for (const char* bad : {"", ".", "..", "../escape", "a/b"})
    EXPECT_EQ(argument_error(with_value("--text", bad)),
              std::string("--text must be a single folder name, got '") + bad + "'");
  EXPECT_EQ(argument_error(with_value("--model-path", "")), "--model-path is empty");
}

TEST(TrainerInputs, CountsMaskImagesByExtensionOnly) {
  TempDir dir;
  for (const char* name : {"0001.png", "0002.PNG", "3.jpg", "4.JPEG", "5.bmp", "6.tif", "7.Tiff"}) touch(dir.path / name);
  for (const char* name : {"sub_mesh.ply", "notes.txt", ".png", "png"}) touch(dir.path / name);
  fs::create_directory(dir.path / "folder.png");
  fs::create_symlink(dir.path / "0001.png", dir.path / "link.png");
  fs::create_symlink(dir.path / "missing.png", dir.path / "dangling.png");
  EXPECT_EQ(count_mask_images(dir.path.string()), 8u);

  std::string path;
  EXPECT_EQ(os_error([&] { count_mask_images((dir.path / "none").string()); }, &path), ENOENT);
  EXPECT_EQ(path, (dir.path / "none").string());
}

TEST(TrainerInputs, ChecksFoldersMasksAndCheckpoint) {
  TempDir dir;
  fs::create_directories(dir.path / "scene");
  fs::create_directories(dir.path / "masks" / "chair");
  touch(dir.path / "masks" / "chair" / "0001.png");
  touch(dir.path / "masks" / "chair" / "0002.png");
  fs::create_directories(dir.path / "masks" / "empty");
  touch(dir.path / "masks" / "empty" / "sub_mesh.ply");
  touch(dir.path / "ckpt.pth");

  ObjectRun run = sample_run();
  run.source_path = (dir.path / "scene").string();
  run.mask_path = (dir.path / "masks" / "chair").string();
  EXPECT_EQ(check_inputs(run), 2u);
  run.checkpoint = (dir.path / "ckpt.pth").string();
  EXPECT_EQ(check_inputs(run), 2u);

  std::string path;
  ObjectRun bad = run;
  bad.checkpoint = (dir.path / "gone.pth").string();
  EXPECT_EQ(os_error([&] { check_inputs(bad); }, &path), ENOENT);
  EXPECT_EQ(path, *bad.checkpoint);

  bad = run;
  bad.source_path = (dir.path / "no-scene").string();
  EXPECT_EQ(os_error([&] { check_inputs(bad); }, &path), ENOENT);
  EXPECT_EQ(path, bad.source_path);

  bad.source_path = (dir.path / "ckpt.pth").string();
  EXPECT_EQ(os_error([&] { check_inputs(bad); }, &path), ENOTDIR);

  bad = run;
  bad.mask_path = (dir.path / "masks" / "empty").string();
  EXPECT_EQ(argument_error([&] { check_inputs(bad); }), "no mask images in " + bad.mask_path);
}

TEST(TrainerManifest, FormatsUtcTimestamps) {
  using namespace std::chrono;
  EXPECT_EQ(utc_timestamp(system_clock::time_point{}), "1970-01-01T00:00:00.000Z");
  const auto t = sys_days{year{2026} / 12 / 8} + hours{15} + minutes{59} + seconds{14} + milliseconds{123} +
                 microseconds{999};
  EXPECT_EQ(utc_timestamp(time_point_cast<system_clock::duration>(t)), "2026-12-08T15:59:14.123Z");
}

TEST(TrainerManifest, WritesEveryInputAsJson) {
  ObjectRun run = sample_run();
  EXPECT_EQ(manifest_json(run, 3, "A", "B"),
            "{\n"
            "  \"object\": \"chair\",\n"
            "  \"source_path\": \"/data/scene\",\n"
            "  \"mask_path\": \"/data/masks/chair\",\n"
            "  \"model_path\": \"/out\",\n"
            "  \"images\": \"images\",\n"
            "  \"N4views\": 14,\n"
            "  \"checkpoint\": null,\n"
            "  \"mask_images\": 3,\n"
            "  \"trained\": false,\n"
            "  \"started\": \"A\",\n"
            "  \"finished\": \"B\"\n"
            "}\n");
  run.checkpoint = "c.pth";
  EXPECT_NE(manifest_json(run, 3, "A", "B").find("  \"checkpoint\": \"c.pth\",\n"), std::string::npos);
}

TEST(TrainerManifest, EscapesTextAndReplacesInvalidUtf8) {
  ObjectRun run = sample_run();
  run.text = "椅子 \"1\"\\\n\t\x01\x7f";
  run.source_path = "bad\xff\xc0\xafok\xe6\xa4";  // stray byte, overlong '/', truncated sequence
  const std::string json = manifest_json(run, 1, "A", "B");
  EXPECT_NE(json.find("\"object\": \"椅子 \\\"1\\\"\\\\\\n\\t\\u0001\\u007f\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"source_path\": \"bad\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDok\xEF\xBF\xBD\xEF\xBF\xBD\""),
            std::string::npos)
      << json;
}

TEST(TrainerRun, WritesTheManifestUnderModelPathAndText) {
  TempDir dir;
  fs::create_directories(dir.path / "scene");
  fs::create_directories(dir.path / "masks" / "chair");
  touch(dir.path / "masks" / "chair" / "0001.png");
  ObjectRun run = sample_run();
  run.source_path = (dir.path / "scene").string();
  run.mask_path = (dir.path / "masks" / "chair").string();
  run.model_path = (dir.path / "models" / "nested").string();

  const std::string path = run_object_check(run);
  EXPECT_EQ(path, (dir.path / "models" / "nested" / "chair" / "manifest.json").string());
  const std::string first = slurp(path);
  EXPECT_NE(first.find("\"mask_images\": 1,\n"), std::string::npos);

  touch(dir.path / "masks" / "chair" / "0002.png");
  run_object_check(run);  // replaced whole, no temporary left beside it
  EXPECT_NE(slurp(path).find("\"mask_images\": 2,\n"), std::string::npos);
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir.path / "models" / "nested" / "chair"))
    names.push_back(e.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"manifest.json"});
}

TEST(TrainerRun, WritesNothingWhenACheckFails) {
  TempDir dir;
  fs::create_directories(dir.path / "masks" / "chair");
  ObjectRun run = sample_run();
  run.source_path = (dir.path / "scene").string();
  run.mask_path = (dir.path / "masks" / "chair").string();
  run.model_path = (dir.path / "models").string();
  EXPECT_EQ(os_error([&] { run_object_check(run); }), ENOENT);
  fs::create_directories(dir.path / "scene");
  EXPECT_NE(argument_error([&] { run_object_check(run); }), "no ArgumentError");
  EXPECT_FALSE(fs::exists(dir.path / "models"));

  touch(dir.path / "masks" / "chair" / "1.png");
  fs::create_directories(dir.path / "models");
  touch(dir.path / "models" / "chair");  // the object's model folder is taken by a file
  EXPECT_EQ(os_error([&] { run_object_check(run); }), ENOTDIR);
  EXPECT_EQ(slurp(dir.path / "models" / "chair"), "x");
}
