#!/usr/bin/python3
# pyftpdlib with faults on request, for the FTP tests.
#   pyftpd.py PORT MODE ROOT FAULTFILE [CERT KEY]      MODE: plain | tls (explicit)
# Before each command the server reads FAULTFILE (lines "VERB KIND [N]"); the first line for
# the command is removed from the file and the fault happens instead of (or around) the normal answer:
#   421          answer "421" and close the control connection
#   nocode       answer a line without a reply code
#   longline     answer a line longer than 1 MiB
#   endless      answer a multi-line reply that never ends
#   552          refuse a STOR at once with 552
#   552after     take the upload, then answer 552
#   cut N        cut the data connection of a RETR after N bytes (then answer 426)
#   cutup N      cut the data connection of a STOR after N bytes (then answer 426)
#   NNN          answer with that code (500 for a listing command it does not know)
#   listing F    send the contents of file F as the listing
#   pass         answer normally (to reach a later line for the same command)
import os
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler, TLS_DTPHandler, TLS_FTPHandler
from pyftpdlib.servers import FTPServer

port, mode, root, fault_file = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]


def take_fault(cmd):
    """The first line of the fault file for this command, removed from the file."""
    try:
        with open(fault_file) as f:
            lines = f.read().splitlines()
    except OSError:
        return None
    for index, line in enumerate(lines):
        words = line.split()
        if len(words) >= 2 and words[0].upper() == cmd:
            rest = lines[:index] + lines[index + 1:]
            if rest:
                with open(fault_file, "w") as f:
                    f.write("\n".join(rest) + "\n")
            else:
                os.remove(fault_file)
            return words[1:]
    return None


class EndlessReply:
    def more(self):
        return b"211-and more, and more, and more\r\n" * 512


def make_dtp(base):
    class FaultDTP(base):
        def send(self, data):
            limit = getattr(self.cmd_channel, "kv_cut", None)
            if limit is not None and self.tot_bytes_sent + len(data) > limit:
                data = data[:max(0, limit - self.tot_bytes_sent)]
                if data:
                    base.send(self, data)
                self.cmd_channel.kv_cut = None
                self._resp = ("426 Connection cut by the test server; transfer aborted.", lambda *a: None)
                self.close()
                return 0
            return base.send(self, data)

        def handle_read(self):
            base.handle_read(self)
            limit = getattr(self.cmd_channel, "kv_cutup", None)
            if limit is not None and self.tot_bytes_received >= limit and not self._closed:
                self.cmd_channel.kv_cutup = None
                self._resp = ("426 Connection cut by the test server; transfer aborted.", lambda *a: None)
                self.close()

        if base is DTPHandler:
            handle_read_event = handle_read  # the plain handler reads through this alias

        def handle_close(self):
            if self.receive and getattr(self.cmd_channel, "kv_552", False) and not self._closed:
                self.cmd_channel.kv_552 = False
                self._resp = ("552 Exceeded storage allocation (test server).", lambda *a: None)
                self.close()
                return
            base.handle_close(self)
    return FaultDTP


def make_handler(base, dtp):
    class FaultHandler(base):
        dtp_handler = dtp

        def pre_process_command(self, line, cmd, arg):
            fault = take_fault(cmd)
            if fault:
                kind = fault[0]
                if kind == "421":
                    self.respond("421 Service not available (test server), closing control connection.")
                    self.close_when_done()
                    return
                if kind == "nocode":
                    self.push("hello from nowhere\r\n")
                    return
                if kind == "longline":
                    self.push("200 " + "x" * (1 << 20 + 0) + "x" * 64 + "\r\n")
                    return
                if kind == "endless":
                    self.push_with_producer(EndlessReply())
                    return
                if kind == "552":
                    self.respond("552 Exceeded storage allocation (test server).")
                    return
                if kind.isdigit() and len(kind) == 3:
                    self.respond(kind + " Refused by the test server.")
                    return
                if kind == "552after":
                    self.kv_552 = True
                elif kind == "cut":
                    self.kv_cut = int(fault[1])
                elif kind == "cutup":
                    self.kv_cutup = int(fault[1])
                elif kind == "listing":
                    with open(fault[1], "rb") as f:
                        data = f.read()
                    self.push_dtp_data(data, isproducer=False, cmd=cmd)
                    return
            base.pre_process_command(self, line, cmd, arg)
    return FaultHandler


auth = DummyAuthorizer()
auth.add_user("kvtest", "kvpass", root, perm="elradfmwMT")
auth.add_anonymous(root)
if mode == "plain":
    handler = make_handler(FTPHandler, make_dtp(DTPHandler))
else:
    handler = make_handler(TLS_FTPHandler, make_dtp(TLS_DTPHandler))
    handler.certfile = sys.argv[5]
    handler.keyfile = sys.argv[6]
    handler.tls_control_required = True
    handler.tls_data_required = True
handler.authorizer = auth
# Data goes through send(), where the faults cut it.
handler.use_sendfile = False
# Refused logins are answered at once.
handler.auth_failed_timeout = 0
# PASV replies name an address that does not answer (TEST-NET-1): a client must dial the address
# of its control connection instead.
handler.masquerade_address = "192.0.2.1"
FTPServer(("127.0.0.1", port), handler).serve_forever()
