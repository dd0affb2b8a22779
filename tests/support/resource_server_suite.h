// Test support: one qlyn-resource-server process shared by all tests of a
// suite, serving a temporary folder on 127.0.0.1 (http and udp-http on one
// port). The server reads files when asked, so tests may publish more.
//
//   class Downloads : public qlyn_test::TResourceServerSuite<Downloads> {
//    protected:
//     static void SetUpTestSuite() {
//       start(QLYN_RESOURCE_SERVER_EXE, "down_res");
//       publish("/down/pkg.7z", bytes);
//     }
//   };
//
// Each deriving suite (the template argument) has its own server.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/scoped_env.h"
#include "support/server_tool.h"
#include "support/test_files.h"

namespace qlyn_test {

template <class TSuite>
class TResourceServerSuite : public ::testing::Test {
 protected:
  // Starts exe (the resource server) on a new temporary folder named after tag.
  static void start(const std::string& exe, const char* tag) {
    dir = new TTempDir(tag);
    std::filesystem::create_directories(*dir / "www");
    server = new TServerTool({exe, "--root", *dir / "www", "--port", "0", "--quiet"});
  }
  static void TearDownTestSuite() {
    delete server;
    delete dir;
    server = nullptr;
    dir = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(server && server->listening())
        << "the resource server did not start: " << (server ? server->start_output() : "");
  }

  // The file served at path (which starts with "/").
  static std::string served_file(const std::string& path) { return *dir / ("www" + path); }
  static void publish(const std::string& path, const std::string& bytes) { write_file(served_file(path), bytes); }
  static std::string url(const std::string& scheme, const std::string& path) {
    return scheme + "://" + server->address() + path;
  }

  static inline TTempDir* dir = nullptr;
  static inline TServerTool* server = nullptr;
};

}  // namespace qlyn_test
