"""A PyMeasure instrument class for the Tarvo Pulse Generator behind tarvo-pulse-scpi (see docs/scpi.md).

    from tarvo_pulse_generator import TarvoPulseGenerator
    gen = TarvoPulseGenerator("TCPIP::127.0.0.1::5025::SOCKET")
    gen.frequency = 12345678      # hertz, whole
    gen.amplitude = 0.8           # volts; the generator takes the nearest of its 511 steps
    print(gen.id, gen.frequency, gen.amplitude, gen.check_errors())

Written for PyMeasure 0.9 (Debian 12's python3-pymeasure) and PyVISA with the pyvisa-py backend.
"""
from pymeasure.instruments import Instrument
from pymeasure.instruments.validators import strict_range


class TarvoPulseGenerator(Instrument):
    # The frequency is sent with %d: PyMeasure's usual %g keeps only six significant digits, so 12345678 Hz would
    # arrive as 1.23457e+07 and set 12345700 Hz.
    frequency = Instrument.control(
        "FREQ?", "FREQ %d",
        """The output frequency in hertz, a whole number from 25 kHz to 350 MHz.""",
        validator=strict_range, values=(25000, 350000000),
        set_process=lambda v: int(round(v)),
        get_process=int,
    )
    # Six decimals of a volt: finer than the generator's steps (about 3 mV), so the server picks the step.
    amplitude = Instrument.control(
        "VOLT?", "VOLT %.6f",
        """The output amplitude in volts, from 0.049 to 1.624; it reads back as the step the generator took.""",
        validator=strict_range, values=(0.049, 1.624),
    )

    def __init__(self, adapter, **kwargs):
        # The server ends each answer with LF alone; without read_termination PyVISA waits for a terminator that
        # never comes until its timeout.
        kwargs.setdefault("read_termination", "\n")
        kwargs.setdefault("timeout", 5000)
        super().__init__(adapter, "Tarvo Pulse Generator", includeSCPI=True, **kwargs)

    def reset(self):
        """The defaults: 10 MHz and 1.161 V."""
        self.write("*RST")

    def check_errors(self):
        """Reads the error queue until it is empty; returns the errors as (code, text) pairs."""
        errors = []
        for _ in range(100):  # the server's queue is bounded; so is this loop
            code, _, text = self.ask("SYST:ERR?").strip().partition(",")
            if int(code) == 0:
                break
            errors.append((int(code), text.strip('"')))
        return errors
