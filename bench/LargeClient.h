#pragma once

#include <cstddef>
#include <string>

// The 20 MiB client of the admission measure: this program's code padded to 20 MiB, signed
// or not, started as "<client> --connect NAME".
namespace tavelin::bench {

inline constexpr std::size_t largeClientSize = std::size_t{20} * 1024 * 1024;

// This program's code, padded with random bytes to largeClientSize (the loader ignores
// bytes after the ELF contents), signed with the development identity or not.
void writeLargeClient(const std::string& destination, bool sign);

// SHA-256 of the file, read in 1 MiB pieces: the reference of the admission.
void hashFile(const std::string& path);

// Starts `program --connect NAME` and answers the seconds it measured from its connect()
// to the HELLO, or a negative number when it was refused.
[[nodiscard]] double clientAdmission(const std::string& program, const std::string& name);

// The client's side ("--connect NAME"): connects, prints the microseconds from connect()
// to the HELLO (or "refused"), and ends.
int connectAndReport(const char* name);

}  // namespace tavelin::bench
