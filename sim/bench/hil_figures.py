#!/usr/bin/python3
"""Prints the figures zv_hil_board measured on the firmware, and the encoder ->
throttle latency with the firmware in the loop beside the emulator's.

usage: hil_figures.py FIGURES.txt HIL_LATENCY.txt [EMULATOR_LATENCY.txt]
"""
import math
import os
import sys

F_CPU = 16e6
# ATmega2560 interrupt vectors by number (avr-libc's iomxx0_1.h).
VECTORS = (
    "RESET INT0 INT1 INT2 INT3 INT4 INT5 INT6 INT7 PCINT0 PCINT1 PCINT2 WDT TIMER2_COMPA TIMER2_COMPB "
    "TIMER2_OVF TIMER1_CAPT TIMER1_COMPA TIMER1_COMPB TIMER1_COMPC TIMER1_OVF TIMER0_COMPA TIMER0_COMPB "
    "TIMER0_OVF SPI_STC USART0_RX USART0_UDRE USART0_TX ANALOG_COMP ADC EE_READY TIMER3_CAPT TIMER3_COMPA "
    "TIMER3_COMPB TIMER3_COMPC TIMER3_OVF USART1_RX USART1_UDRE USART1_TX TWI SPM_READY TIMER4_CAPT "
    "TIMER4_COMPA TIMER4_COMPB TIMER4_COMPC TIMER4_OVF TIMER5_CAPT TIMER5_COMPA TIMER5_COMPB TIMER5_COMPC "
    "TIMER5_OVF USART2_RX USART2_UDRE USART2_TX USART3_RX USART3_UDRE USART3_TX"
).split()


def percentile(sorted_values, q):
    # Nearest-rank percentile.
    k = max(0, min(len(sorted_values) - 1, int(math.ceil(q / 100.0 * len(sorted_values))) - 1))
    return sorted_values[k]


def vector_name(v):
    return VECTORS[v] if 0 <= v < len(VECTORS) else "vector %d" % v


def read_figures(path):
    figures = {}
    for line in open(path):
        parts = line.split()
        if parts:
            figures[parts[0]] = [float(x) for x in parts[1:]]
    return figures


def read_samples(path):
    if not path or not os.path.exists(path):
        return []
    return sorted(float(x) for x in open(path).read().split())


def latency_row(name, samples):
    if not samples:
        return "    %-16s (no samples)" % name
    ms = [1e3 * s for s in samples]
    return "    %-16s %7.2f %7.2f %7.2f %7d" % (name, percentile(ms, 50), percentile(ms, 99), ms[-1], len(ms))


def main():
    f = read_figures(sys.argv[1])
    one = lambda key: f.get(key, [float("nan")])[0]  # noqa: E731
    sim, wall = one("sim_seconds"), one("wall_seconds")
    print("firmware on the simulated ATmega2560 at 16 MHz, closed loop of %.1f s simulated:" % sim)
    isr, vector = one("isr_max_cycles"), int(one("isr_max_vector"))
    per_vector = sorted(
        ((int(k.split("_")[2]), int(v[0])) for k, v in f.items() if k.startswith("isr_vector_")),
        key=lambda kv: -kv[1])
    print("  longest interrupt handler   %6d cycles (%.1f us), %s" % (isr, isr / F_CPU * 1e6, vector_name(vector)))
    print("    each vector's longest:    %s" % ", ".join("%s %d" % (vector_name(v), c) for v, c in per_vector))
    loop, own = one("loop_max_cycles"), one("loop_own_max_cycles")
    print("  longest main-loop pass      %6d cycles (%.0f us) awake, interrupts included; %d cycles without them"
          % (loop, loop / F_CPU * 1e6, own))
    pulses = sorted(f.get("throttle_to_pulse_us", []))
    if pulses:
        print("  THROTTLE frame in -> first ESC pulse of the new width (end of the pulse), simulated:"
              " p50 %.0f us, max %.0f us over %d frames" % (percentile(pulses, 50), pulses[-1], len(pulses)))
    else:
        print("  THROTTLE frame in -> ESC pulse: no frame changed a pulse width")
    cpu = one("cpu_seconds")
    print("  pace %.3f simulated s per wall s (%.1f s in %.1f s, %.1f s given up to stalls); the board process used"
          " %.0f %% of a core" % (sim / wall, sim, wall, one("lost_seconds"), 100 * cpu / wall))
    print("  resets: %d by the host opening the port, %d by the firmware; %d bytes lost at UART0"
          % (one("resets_by_host"), one("resets_by_firmware"), one("uart_bytes_lost")))
    print("  encoder frame written -> answering THROTTLE frame read (wall clock, at the pseudo-terminal), ms:")
    print("    %-16s %7s %7s %7s %7s" % ("", "p50", "p99", "max", "n"))
    if len(sys.argv) > 3:
        print(latency_row("emulator", read_samples(sys.argv[3])))
    print(latency_row("simulated board", read_samples(sys.argv[2])))


if __name__ == "__main__":
    main()
