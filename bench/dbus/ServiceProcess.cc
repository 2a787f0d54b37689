#include "bench/dbus/ServiceProcess.h"

#include <utility>

#include "bench/ChildOutput.h"
#include "bench/Comparison.h"
#include "bench/dbus/BenchInterface.h"

namespace tavelin::bench::dbus {

std::unique_ptr<ServiceProcess> ServiceProcess::start(const std::string& busAddress,
                                                      const std::string& performReply) {
    auto started = spawnWithCombinedOutput(TAVELIN_BENCH_DBUS_SERVICE, {busAddress, performReply});
    if (!started) {
        fail(std::string("cannot start ") + TAVELIN_BENCH_DBUS_SERVICE + ": " +
             started.error().describe());
    }
    std::unique_ptr<ServiceProcess> service(new ServiceProcess(std::move(started).value()));
    static_cast<void>(awaitLine(service->service_, readyLine));
    return service;
}

}  // namespace tavelin::bench::dbus
