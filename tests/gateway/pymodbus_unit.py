"""An independent Modbus RTU slave for the gateway's tests, served by pymodbus.

Usage: /usr/bin/python3 pymodbus_unit.py PORT [--stuck]

Slave 1 holds registers 0..99 with the value 1000 + address each, but for
the unit's switch: register 13 (170 on, 85 off) and its run state, register
27 (1 running, 0 stopped), which follows a write of 13 unless --stuck. It
acknowledges a single-register write with the value written, as any plain
Modbus slave does. Prints "ready" once the port is open.
"""
import asyncio
import sys

from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext)
from pymodbus.server import StartAsyncSerialServer
from pymodbus.transaction import ModbusRtuFramer


SWITCH, RUN_STATE, ON, OFF = 13, 27, 170, 85


class UnitRegisters(ModbusSequentialDataBlock):
    """Registers whose run state follows the switch, as a unit's does."""

    def __init__(self, stuck):
        values = [1000 + address for address in range(100)]
        values[SWITCH], values[RUN_STATE] = ON, 1
        super().__init__(0, values)
        self.stuck = stuck

    def setValues(self, address, values):
        super().setValues(address, values)
        if address == SWITCH and values[0] in (ON, OFF) and not self.stuck:
            super().setValues(RUN_STATE, [1 if values[0] == ON else 0])


async def serve(port, stuck):
    registers = UnitRegisters(stuck)
    unit = ModbusSlaveContext(hr=registers, zero_mode=True)
    context = ModbusServerContext(slaves={1: unit}, single=False)
    server = await StartAsyncSerialServer(context=context, framer=ModbusRtuFramer,
                                          port=port, baudrate=9600, defer_start=True)
    await server.start()
    print("ready", flush=True)
    await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(serve(sys.argv[1], "--stuck" in sys.argv[2:]))
