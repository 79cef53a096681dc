#!/usr/bin/python3
"""org.freedesktop.Notifications on the session bus for the tests: prints "ready" once it owns the name, then
the summary and body of every notification it is sent, one per line (line feeds in the body as \\n)."""
from gi.repository import Gio, GLib

ARGS = "".join(f"<arg type='{t}' direction='in'/>" for t in ["s", "u", "s", "s", "s", "as", "a{sv}", "i"])
INTERFACE = Gio.DBusNodeInfo.new_for_xml(f"""<node><interface name='org.freedesktop.Notifications'>
<method name='Notify'>{ARGS}<arg type='u' direction='out'/></method></interface></node>""").interfaces[0]


def notify(connection, sender, path, interface, method, parameters, invocation):
    summary, body = parameters[3], parameters[4]
    print(summary + "\t" + body.replace("\n", "\\n"), flush=True)
    invocation.return_value(GLib.Variant("(u)", (1,)))


bus = Gio.bus_get_sync(Gio.BusType.SESSION)
bus.register_object("/org/freedesktop/Notifications", INTERFACE, notify)
Gio.bus_own_name_on_connection(bus, "org.freedesktop.Notifications", Gio.BusNameOwnerFlags.NONE,
                               lambda *_: print("ready", flush=True), lambda *_: GLib.MainLoop().quit())
GLib.MainLoop().run()
