// How long one dock query takes through real libusb to an emulated dock, and
// how many control transfers it costs. Usage: dock_query_bench [queries]
#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <vector>

#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include "docks/dock_query.h"
#include "tests/host/emulated_dock.h"

int main(int argc, char** argv) {
  const long queries = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 200;
  if (queries <= 0) {
    std::fprintf(stderr, "usage: %s [queries > 0]\n", argv[0]);
    return 2;
  }
  // umockdev's sockets live under TMPDIR, whose path must stay short.
  setenv("TMPDIR", "/tmp", 1);
  // Lines are still formatted, just not written anywhere.
  spdlog::set_default_logger(std::make_shared<spdlog::logger>("bench", std::make_shared<spdlog::sinks::null_sink_mt>()));

  try {
    EmulatedBus bus;
    DockModel model;
    model.strings = {{1, u"Varnock"}, {2, u"USB-C Dock D70"}, {3, u"VN70-0042318"}};
    model.vendorReply = {0, 0, 0, 0, 3, 12, 2, 1};
    EmulatedDock& dock = bus.Add(model);

    if (libusb_init(nullptr) != LIBUSB_SUCCESS) {
      std::fprintf(stderr, "libusb_init failed\n");
      return 1;
    }
    std::vector<double> micros;
    micros.reserve(static_cast<std::size_t>(queries));
    for (long i = 0; i < queries; ++i) {
      const auto start = std::chrono::steady_clock::now();
      const std::optional<DockInfo> info = QueryDock();
      const auto end = std::chrono::steady_clock::now();
      if (!info || info->FwRev != L"1.2.12.3") {
        std::fprintf(stderr, "query %ld did not read the dock\n", i);
        libusb_exit(nullptr);
        return 1;
      }
      micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    libusb_exit(nullptr);

    double total = 0;
    for (double value : micros) total += value;
    std::sort(micros.begin(), micros.end());
    std::printf("queries: %ld\n", queries);
    std::printf("control transfers per query: %.2f\n", static_cast<double>(dock.UrbsSubmitted()) / queries);
    std::printf("mean time per query: %.1f us\n", total / queries);
    std::printf("median time per query: %.1f us (min %.1f, max %.1f)\n", micros[micros.size() / 2], micros.front(),
                micros.back());
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
}
