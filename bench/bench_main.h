// A benchmark main that keeps the devices' own standard output (the
// "rvSize is" line of every round) out of the report.
#pragma once

#include <iostream>
#include <streambuf>

#include <benchmark/benchmark.h>

namespace bench {

class DiscardBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

inline int run(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  std::ostream report(std::cout.rdbuf());
  DiscardBuffer discard;
  std::cout.rdbuf(&discard);
  benchmark::ConsoleReporter console;
  console.SetOutputStream(&report);
  console.SetErrorStream(&std::cerr);
  benchmark::RunSpecifiedBenchmarks(&console);
  std::cout.rdbuf(report.rdbuf());
  benchmark::Shutdown();
  return 0;
}

}  // namespace bench
