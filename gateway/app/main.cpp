// norvane-gateway: drives air-conditioning units over Modbus RTU through a
// device plug-in, as the monitoring host does. See config/command_line.h.
#include <iostream>

#include "gateway/app/command_line.h"
#include "gateway/base/usage_error.h"
#include "gateway/control/ctl.h"
#include "gateway/base/log.h"
#include "gateway/service/service.h"

int main(int argc, char** argv) {
  gw::log::init();
  try {
    const gw::Invocation invocation = gw::parse_command_line(argc, argv);
    gw::log::set_threshold(invocation.log_level);
    switch (invocation.kind) {
      case gw::Invocation::Kind::kRun:
        return gw::run_service(invocation.run);
      case gw::Invocation::Kind::kCtl:
        return gw::run_ctl(invocation.ctl, invocation.request);
      case gw::Invocation::Kind::kHistory:
        return gw::outputs::run_history_command(invocation.history);
      case gw::Invocation::Kind::kExit:
        return invocation.exit_status;
    }
  } catch (const gw::UsageError& error) {
    std::cerr << "norvane-gateway: " << error.what() << "\nRun with --help for more information."
              << std::endl;
    return 2;
  } catch (const std::exception& error) {
    gw::log::error(error.what());
    return 1;
  }
  return 1;
}
