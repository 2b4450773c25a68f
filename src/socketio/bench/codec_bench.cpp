// Micro-benchmarks of the packet codec on typical command traffic.
#include <benchmark/benchmark.h>

#include "socketio/packet.h"

namespace {

void DecodeEvent(benchmark::State& state) {
  const std::string text = R"(2734["live_location",{"distance":50,"duration":60000,"interval":5000}])";
  for (auto _ : state) {
    auto header = sio::decodePacketText(text);
    benchmark::DoNotOptimize(header);
  }
}
BENCHMARK(DecodeEvent);

void EncodeAck(benchmark::State& state) {
  for (auto _ : state) {
    auto encoded = sio::encodePacket(sio::makeAck(734, {nlohmann::json{{"status", "ok"}}}));
    benchmark::DoNotOptimize(encoded);
  }
}
BENCHMARK(EncodeAck);

void DecodeLargeEvent(benchmark::State& state) {
  const std::string text =
      R"(2["big",{"blob":")" + std::string(static_cast<std::size_t>(state.range(0)), 'x') + R"("}])";
  for (auto _ : state) {
    auto header = sio::decodePacketText(text);
    benchmark::DoNotOptimize(header);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(DecodeLargeEvent)->Arg(1 << 10)->Arg(1 << 20);

}  // namespace
