#!/usr/bin/env python3
"""Runs a Windows test program under Wine against the relay-server simulator.

The simulator listens on a free port of 127.0.0.1; the program finds it in the
environment variable TAVRO_RELAY_SIM_PORT. Usage: relay_sim_driver.py WINE_EXEC EXE [ARGS...]
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from driver_support import run_windows_program, start_relay_simulator  # noqa: E402


def main():
    wine_exec, program, *args = sys.argv[1:]
    try:
        port, stop = start_relay_simulator()
    except RuntimeError as error:
        print(f"FAIL: {error}")
        return 1
    try:
        return run_windows_program(wine_exec, program, args, {"TAVRO_RELAY_SIM_PORT": str(port)})
    finally:
        stop()


if __name__ == "__main__":
    sys.exit(main())
