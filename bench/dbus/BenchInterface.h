#pragma once

// The D-Bus peer of roundtrip_bench: what a Linux helper usually is, a small sd-bus service
// on a bus, here a private dbus-daemon. Its name, object and methods:
//
//   Version() -> s              "0.0.1", as helperVersion
//   Perform(s) -> s             the reply it was started with, whatever the request
//   PerformAuthorized(s) -> s   asks polkit's CheckAuthorization for the calling process
//                               first (over a system bus connection it keeps), then answers
//                               as Perform; an AccessDenied error when polkit says no
namespace tavelin::bench::dbus {

inline constexpr const char* serviceName = "de.morvane.TavelinBench";
inline constexpr const char* objectPath = "/de/morvane/TavelinBench";
inline constexpr const char* interfaceName = "de.morvane.TavelinBench";
inline constexpr const char* version = "0.0.1";

// What the service asks polkit, as the daemon does for a removal that names no path: the
// same action and the same details.
inline constexpr const char* authorizedAction = "de.morvane.tavelin.remove-system-paths";
inline constexpr const char* authorizedPathsDetail = "[]";

// The line the service writes on its standard output once it owns its name.
inline constexpr const char* readyLine = "ready";

}  // namespace tavelin::bench::dbus
