#pragma once
// tests/server/data/listener.js run as a child: a bare listener on a port of 127.0.0.1, its
// port, and every request it got (JSON {kind, method, url, headers}), gathered on the main loop.

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/JsonCoder.h"
#include "platform/Process.h"
#include "platform/Resources.h"
#include "platform/RunLoop.h"

struct BareListener {
  std::unique_ptr<Process> process;
  int port = 0;
  std::vector<nlohmann::json> requests;

  // False when it did not start listening within 30 seconds. With a folder, it serves the pages
  // in it at "/files/NAME"; with a port, it listens there.
  bool start(const std::string& folder = {}, int at = 0) {
    Process::Options options;
    options.executable = Resources::path("bin/node", {}, "Node");
    options.arguments = {KORVEL_SOURCE_DIR "/tests/server/data/listener.js"};
    options.arguments.push_back(folder);
    if (at > 0) options.arguments.push_back(std::to_string(at));
    Process::Handlers handlers;
    handlers.line = [this](const std::string& line, Process::Stream stream) {
      if (stream != Process::Stream::output) return;
      if (line.rfind("port ", 0) == 0) port = std::stoi(line.substr(5));
      else if (auto parsed = JsonCoder::parse(line)) requests.push_back(*parsed);
    };
    auto launched = Process::launch(options, handlers);
    if (!launched) return false;
    process = std::move(*launched);
    return RunLoop::runUntil([&] { return port > 0; }, 30.0);
  }
  std::string address() const { return "http://127.0.0.1:" + std::to_string(port); }
  // Whether a request for a path starting with `path` came.
  bool got(const std::string& path) const { return count(path) > 0; }
  std::size_t count(const std::string& path) const {
    std::size_t n = 0;
    for (const auto& r : requests) n += r["url"].get<std::string>().rfind(path, 0) == 0;
    return n;
  }
};
