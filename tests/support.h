// Helpers shared by the tests: a scratch working directory, standard output
// captured around a call, and whole files read back as bytes.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

// Each test runs in a fresh directory of its own, removed afterwards.
class ScratchDirTest : public ::testing::Test {
protected:
  void SetUp() override {
    previous_ = std::filesystem::current_path();
    std::random_device random;
    dir_ = std::filesystem::temp_directory_path() /
           ("arpexport-test-" + std::to_string(random()));
    std::filesystem::create_directories(dir_);
    std::filesystem::current_path(dir_);
  }
  void TearDown() override {
    std::filesystem::current_path(previous_);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

private:
  std::filesystem::path previous_;
  std::filesystem::path dir_;
};

inline std::string ReadBytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs f with standard output captured; returns what it printed.
template <typename F> std::string CaptureStdout(F f) {
  std::fflush(stdout);
  ::testing::internal::CaptureStdout();
  f();
  std::fflush(stdout);
  return ::testing::internal::GetCapturedStdout();
}
