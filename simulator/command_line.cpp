#include "simulator/command_line.h"

#include <cctype>
#include <cstdlib>
#include <iostream>

#ifndef NORVANE_VERSION
#error "NORVANE_VERSION is the project's version"
#endif

namespace sim {

void describe_program(CLI::App& app, const std::string& program) {
  app.name(program);
  app.set_version_flag("--version", program + " " + NORVANE_VERSION,
                       "Print the program's version and exit");
  app.get_formatter()->column_width(34);
}

void add_framing_options(CLI::App& app, Framing& framing) {
  app.add_option("--baud", framing.baud, "Baud rate of the line, 50 to 4000000")
      ->type_name("N")
      ->check(CLI::Range(50, 4000000).description(""))
      ->capture_default_str();
  app.add_option_function<std::string>(
         "--parity",
         [&framing](const std::string& name) {
           framing.parity = static_cast<char>(std::toupper(name[0]));
         },
         "Parity bit of each character")
      ->type_name("none|even|odd")
      ->check(CLI::IsMember({"none", "even", "odd"}).description(""))
      ->default_str("none");
  app.add_option("--data-bits", framing.data_bits, "Data bits of each character, 5 to 8")
      ->type_name("N")
      ->check(CLI::Range(5, 8).description(""))
      ->capture_default_str();
  app.add_option("--stop-bits", framing.stop_bits, "Stop bits of each character, 1 or 2")
      ->type_name("N")
      ->check(CLI::Range(1, 2).description(""))
      ->capture_default_str();
}

void add_pace_option(CLI::App& app, bool& pace) {
  app.add_flag("--pace", pace,
               "Keep the line's time: a frame takes its characters' time at the baud rate and "
               "framing (1 start bit, the data bits, parity, stop bits), and frames keep the "
               "silent interval of 3.5 characters (1.75 ms above 19200 baud) between them");
}

void parse_or_exit(CLI::App& app, int argc, char** argv) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& help) {
    std::exit(app.exit(help));
  } catch (const CLI::CallForVersion& version) {
    std::exit(app.exit(version));
  } catch (const CLI::ParseError& error) {
    std::cerr << app.get_name() << ": " << error.what() << "\n"
              << "Run " << app.get_name() << " --help for the options.\n";
    std::exit(2);
  }
}

}  // namespace sim
