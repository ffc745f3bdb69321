// norvane-gateway: drives air-conditioning units over Modbus RTU through a
// device plug-in, as the monitoring host does. See app/command_line.h.
#include <iostream>

#include "gateway/app/command_line.h"
#include "gateway/base/log.h"
#include "gateway/base/usage_error.h"
#include "gateway/control/ctl.h"
#include "gateway/service/service.h"

int main(int argc, char** argv) {
  gw::base::log::init();
  try {
    const gw::app::Invocation invocation = gw::app::parse_command_line(argc, argv);
    gw::base::log::set_threshold(invocation.log_level);
    switch (invocation.kind) {
      case gw::app::Invocation::Kind::kRun:
        return gw::service::run_service(invocation.run);
      case gw::app::Invocation::Kind::kCtl:
        return gw::control::run_ctl(invocation.ctl, invocation.request);
      case gw::app::Invocation::Kind::kHistory:
        return gw::history::run_history_command(invocation.history);
      case gw::app::Invocation::Kind::kExit:
        return invocation.exit_status;
    }
  } catch (const gw::base::UsageError& error) {
    std::cerr << "norvane-gateway: " << error.what() << "\nRun with --help for more information."
              << std::endl;
    return 2;
  } catch (const std::exception& error) {
    gw::base::log::error(error.what());
    return 1;
  }
  return 1;
}
