#!/usr/bin/python3
"""The programs of the virtual-device tests, driven by commands on standard input.

    pty_helper.py tty PATH     an ordinary program on a serial device: plain os and
                               termios, nothing that knows of Tethra
    pty_helper.py bus PORT     a client of COM<PORT> on python3-dbus
    pty_helper.py peer PATH    the far end of the line (the other end of a socat pair)

Commands (one per line; each answers one line):
    send N SEED     sends N bytes of pattern SEED             -> "sent N SHA"
    recv N          receives N bytes                           -> "got N SHA" (fewer on time-out)
  tty only:
    open / close    opens (raw, as serial programs do) or closes the device
    speed N         cfsetspeed(N) and tcsetattr                -> "speed N" as read back
    waitspeed N     waits up to 10 s for the device to read N  -> "speed N" as read then
    flow C X I Q S  sets CRTSCTS C, IXON X, IXOFF I (0 or 1), VSTART Q and VSTOP S
                                                               -> "flow C X I Q S" as read back
    waitflow ...    waits up to 10 s for the device to read those -> "flow ..." as read then
    flood N SEED    writes up to N bytes of pattern SEED until the device has taken
                    nothing for a second                       -> "flooded K SHA" (what it took)
  bus only:
    refuse DISPID / allow      answers OnRequestEdit for DISPID with S_FALSE / S_OK again
    baud                       -> "baud N"
    setbaud N                  -> "setbaud HR" (HR 0 or the error's name)
    get NAME                   -> "NAME VALUE" (get_NAME)
    put NAME VALUE             -> "put HR" (put_NAME of an integer property)
    notices                    -> "notices asked 25 told 25 ..." (then forgets them)
    expect N                   the same once N notices have come (at most 10 s)
"""
import hashlib
import os
import random
import select
import sys
import termios
import threading
import time


def pattern(n, seed):
    return random.Random(seed).randbytes(n)


def answer(text):
    print(text, flush=True)


def summary(data):
    return "%d %s" % (len(data), hashlib.sha256(data).hexdigest())


def read_fd(fd, n, timeout=60.0):
    data = bytearray()
    end = time.monotonic() + timeout
    while len(data) < n:
        left = end - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            break
        chunk = os.read(fd, n - len(data))
        if not chunk:
            break
        data += chunk
    return bytes(data)


def write_fd(fd, data):
    view = memoryview(data)
    while view:
        select.select([], [fd], [])
        view = view[os.write(fd, view):]


SPEEDS = {n: getattr(termios, "B%d" % n) for n in
          (1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400)}
NAMES = {v: k for k, v in SPEEDS.items()}


def device(path):
    fd = None

    def open_raw():
        nonlocal fd
        fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        attrs = termios.tcgetattr(fd)
        attrs[0] &= ~(termios.IGNBRK | termios.BRKINT | termios.PARMRK | termios.ISTRIP |
                      termios.INLCR | termios.IGNCR | termios.ICRNL | termios.IXON)
        attrs[1] &= ~termios.OPOST
        attrs[3] &= ~(termios.ECHO | termios.ECHONL | termios.ICANON | termios.ISIG |
                      termios.IEXTEN)
        attrs[2] = (attrs[2] & ~(termios.CSIZE | termios.PARENB)) | termios.CS8
        termios.tcsetattr(fd, termios.TCSANOW, attrs)

    def speed():
        return NAMES.get(termios.tcgetattr(fd)[5], -1)

    def flow():
        attrs = termios.tcgetattr(fd)
        return "flow %d %d %d %d %d" % (bool(attrs[2] & termios.CRTSCTS),
                                        bool(attrs[0] & termios.IXON),
                                        bool(attrs[0] & termios.IXOFF),
                                        attrs[6][termios.VSTART][0], attrs[6][termios.VSTOP][0])

    open_raw()
    for line in sys.stdin:
        words = line.split()
        if not words:
            continue
        if words[0] == "send":
            data = pattern(int(words[1]), int(words[2]))
            write_fd(fd, data)
            answer("sent " + summary(data))
        elif words[0] == "recv":
            answer("got " + summary(read_fd(fd, int(words[1]))))
        elif words[0] == "flow":
            c, x, i, q, st = (int(w) for w in words[1:6])
            attrs = termios.tcgetattr(fd)
            attrs[2] = (attrs[2] & ~termios.CRTSCTS) | (termios.CRTSCTS if c else 0)
            attrs[0] &= ~(termios.IXON | termios.IXOFF)
            attrs[0] |= (termios.IXON if x else 0) | (termios.IXOFF if i else 0)
            attrs[6][termios.VSTART] = bytes([q])
            attrs[6][termios.VSTOP] = bytes([st])
            termios.tcsetattr(fd, termios.TCSANOW, attrs)
            answer(flow())
        elif words[0] == "waitflow":
            end = time.monotonic() + 10
            while flow() != " ".join(words) .replace("waitflow", "flow") and time.monotonic() < end:
                time.sleep(0.02)
            answer(flow())
        elif words[0] == "flood":
            data = pattern(int(words[1]), int(words[2]))
            taken = 0
            while taken < len(data) and select.select([], [fd], [], 1.0)[1]:
                try:
                    taken += os.write(fd, data[taken:taken + 65536])
                except BlockingIOError:
                    pass
            answer("flooded " + summary(data[:taken]))
        elif words[0] == "open":
            open_raw()
            answer("opened")
        elif words[0] == "close":
            os.close(fd)
            answer("closed")
        elif words[0] == "speed":
            attrs = termios.tcgetattr(fd)
            attrs[4] = attrs[5] = SPEEDS[int(words[1])]
            termios.tcsetattr(fd, termios.TCSANOW, attrs)
            answer("speed %d" % speed())
        elif words[0] == "waitspeed":
            # The virtual device gives no notice of a change made on its other side.
            end = time.monotonic() + 10
            while speed() != int(words[1]) and time.monotonic() < end:
                time.sleep(0.02)
            answer("speed %d" % speed())
        elif words[0] == "quit":
            break


def bus_client(port_number):
    import dbus
    import dbus.mainloop.glib
    import dbus.service
    from gi.repository import GLib

    itf_port = "Ostra.Tethra.ISerialPort"
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    state = {"data": bytearray(), "refused": set(), "notices": [], "want": None,
             "expect": None}
    lock = threading.Lock()

    def report_notices():
        answer(" ".join(["notices"] + state["notices"]))
        state["notices"].clear()
        state["expect"] = None

    def notice(text):
        with lock:
            state["notices"].append(text)
            if state["expect"] is not None and len(state["notices"]) >= state["expect"]:
                report_notices()

    def check_want():
        want = state["want"]
        if want is not None and len(state["data"]) >= want:
            answer("got " + summary(bytes(state["data"][:want])))
            del state["data"][:want]
            state["want"] = None

    class Events(dbus.service.Object):
        @dbus.service.method("Ostra.Tethra._ISerialPortEvents", in_signature="ay", out_signature="i")
        def OnData(self, data):
            state["data"] += bytes(data)
            check_want()
            return 0

        @dbus.service.method("Ostra.Tethra._ISerialPortEvents", in_signature="i", out_signature="i")
        def OnPortEvent(self, event):
            return 0

        @dbus.service.method("Ostra.Tethra._ISerialPortEvents", in_signature="i", out_signature="i")
        def OnError(self, code):
            return 0

    class Props(dbus.service.Object):
        @dbus.service.method("Ostra.Tethra.IPropertyNotifySink", in_signature="i", out_signature="i")
        def OnRequestEdit(self, dispid):
            notice("asked %d" % dispid)
            return 1 if dispid in state["refused"] else 0

        @dbus.service.method("Ostra.Tethra.IPropertyNotifySink", in_signature="i", out_signature="i")
        def OnChanged(self, dispid):
            notice("told %d" % dispid)
            return 0

    factory = bus.get_object("Ostra.Tethra", "/Ostra/Tethra")
    _, registry_path = factory.CreateInstance("{5AA04296-B290-4D75-80E1-DE6703FB8774}",
                                              dbus_interface="Ostra.Tethra.IClassFactory")
    server = bus.get_name_owner("Ostra.Tethra")
    registry = bus.get_object(server, registry_path)
    _, port_path = registry.CreatePort(port_number, dbus_interface="Ostra.Tethra.ITethra")
    port = bus.get_object(server, port_path)
    sinks = {"{F8ED87C1-42AD-4DFF-ABF7-710CD4282223}": Events(bus, "/test/events"),
             "{9BFBBC02-EFF1-101A-84ED-00AA00341D07}": Props(bus, "/test/props")}
    for iid, sink in sinks.items():
        _, point = port.FindConnectionPoint(iid, dbus_interface="Ostra.Tethra.IConnectionPointContainer")
        bus.get_object(server, point).Advise(dbus.ObjectPath(sink._object_path),
                                             dbus_interface="Ostra.Tethra.IConnectionPoint")
    answer("ready")
    loop = GLib.MainLoop()

    def error_name(e):
        return e.get_dbus_name().rsplit(".", 1)[-1]

    def put(name, value, reply, tries=50):
        # A change made right after a notice may meet the change that sent it still
        # finishing: the port refuses it as in progress, and a client tries again.
        def failed(e):
            if error_name(e) == "HRESULT_0x8007046B" and tries > 1:
                GLib.timeout_add(50, lambda: put(name, value, reply, tries - 1) and False)
            else:
                answer(reply + " " + error_name(e))
        getattr(port, "put_" + name)(value, dbus_interface=itf_port,
                                     reply_handler=lambda hr: answer("%s %d" % (reply, hr)),
                                     error_handler=failed)

    def command(channel, condition):
        words = sys.stdin.readline().split()
        if not words or words[0] == "quit":
            loop.quit()
            return False
        if words[0] == "recv":
            state["want"] = int(words[1])
            check_want()
        elif words[0] == "send":
            data = pattern(int(words[1]), int(words[2]))
            port.Send(dbus.ByteArray(data), True, dbus_interface=itf_port,
                      reply_handler=lambda *a: answer("sent " + summary(data)),
                      error_handler=lambda e: answer("sent error " + error_name(e)))
        elif words[0] == "refuse":
            state["refused"].add(int(words[1]))
            answer("ok")
        elif words[0] == "allow":
            state["refused"].clear()
            answer("ok")
        elif words[0] == "baud":
            port.get_BaudRate(dbus_interface=itf_port,
                              reply_handler=lambda hr, baud: answer("baud %d" % baud),
                              error_handler=lambda e: answer("baud error " + error_name(e)))
        elif words[0] == "setbaud":
            put("BaudRate", dbus.UInt32(int(words[1])), "setbaud")
        elif words[0] == "get":
            name = words[1]
            getattr(port, "get_" + name)(dbus_interface=itf_port,
                                         reply_handler=lambda hr, v: answer("%s %d" % (name, v)),
                                         error_handler=lambda e: answer(name + " " + error_name(e)))
        elif words[0] == "put":
            put(words[1], int(words[2]), "put")
        elif words[0] == "notices":
            with lock:
                report_notices()
        elif words[0] == "expect":
            with lock:
                state["expect"] = int(words[1])
                if len(state["notices"]) >= state["expect"]:
                    report_notices()
                else:
                    state["round"] = state.get("round", 0) + 1

                    def late(round_number=state["round"]):
                        with lock:
                            if state["expect"] is not None and state["round"] == round_number:
                                report_notices()
                        return False
                    GLib.timeout_add_seconds(10, late)
        return True

    GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, command)
    loop.run()


if __name__ == "__main__":
    role, target = sys.argv[1], sys.argv[2]
    if role == "bus":
        bus_client(int(target))
    else:
        device(target)
