// Event round trips through our Socket.IO client: `socketio_bench URL COUNT SIZE` connects,
// then sends "echo" with a SIZE-byte text and waits for the echo before sending the next,
// COUNT times, and prints {"roundTrips": COUNT, "seconds": S} for the round trips alone.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/RunLoop.h"
#include "platform/SocketIOClient.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: socketio_bench URL COUNT SIZE\n");
    return 2;
  }
  auto url = Url::parse(argv[1]);
  long count = std::atol(argv[2]);
  std::string text(static_cast<size_t>(std::atol(argv[3])), 'x');
  if (!url || count <= 0) {
    std::fprintf(stderr, "socketio_bench: bad URL or count\n");
    return 2;
  }
  socketio::Client client(*url);
  long done = 0;
  std::chrono::steady_clock::time_point start;
  client.on("echo", [&](const nlohmann::json&) {
    if (++done < count) client.emit("echo", {{"i", done}, {"text", text}});
  });
  client.onConnect([&] {
    start = std::chrono::steady_clock::now();
    client.emit("echo", {{"i", 0}, {"text", text}});
  });
  client.connect();
  if (!RunLoop::runUntil([&] { return done >= count; }, 600)) {
    std::fprintf(stderr, "socketio_bench: timed out after %ld round trips\n", done);
    return 1;
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("{\"roundTrips\": %ld, \"seconds\": %.6f}\n", count, seconds);
  return 0;
}
