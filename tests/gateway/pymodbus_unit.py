"""An independent Modbus RTU slave for the gateway's tests, served by pymodbus.

Usage: /usr/bin/python3 pymodbus_unit.py PORT

Slave 1 holds registers 0..99 with the value 1000 + address each, and
acknowledges a single-register write with the value written, as any plain
Modbus slave does. Prints "ready" once the port is open.
"""
import asyncio
import sys

from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext)
from pymodbus.server import StartAsyncSerialServer
from pymodbus.transaction import ModbusRtuFramer


async def serve(port):
    registers = ModbusSequentialDataBlock(0, [1000 + address for address in range(100)])
    unit = ModbusSlaveContext(hr=registers, zero_mode=True)
    context = ModbusServerContext(slaves={1: unit}, single=False)
    server = await StartAsyncSerialServer(context=context, framer=ModbusRtuFramer,
                                          port=port, baudrate=9600, defer_start=True)
    await server.start()
    print("ready", flush=True)
    await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(serve(sys.argv[1]))
