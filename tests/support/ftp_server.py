#!/usr/bin/python3
"""A loopback FTP server for the uplink tests and the demo, on pyftpdlib.

Prints "ready <port>" once listening, "connect" for every control
connection and "stored <name>" for every file received.
  --address A          listen on A (default 127.0.0.1; any loopback address)
  --quiet              print only "ready <port>"
  --refuse-login       every login is refused (530)
  --fail-store N       the Nth STOR (from 1) is answered 550
  --drop-store N       the Nth STOR drops the control and data connections
  --delete-incomplete  a STOR that did not complete leaves no file
                       (prints "incomplete <name>")
  --reply-delay S      every reply goes out S seconds late (a slow host)

SIGUSR1 takes the server down the way an orderly shutdown does: it stops
listening, lets transfers already under way finish (and their 226 go out),
closes every control connection between commands, prints "stopped" and
exits. A file is thus either stored and reported, or never created.
SIGTERM still ends it at once.
"""
import argparse
import logging
import os
import signal
import time
import traceback
import sys

from pyftpdlib.authorizers import AuthenticationFailed, DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


QUIET = {"on": False}


def say(text):
    if QUIET["on"] and not (text.startswith("ready") or text == "stopped"):
        return
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


class Refusing(DummyAuthorizer):
    def validate_authentication(self, username, password, handler):
        raise AuthenticationFailed("refused")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--address", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--quiet", action="store_true")
    parser.add_argument("--user", default="Guest")
    parser.add_argument("--password", default="Tulip")
    parser.add_argument("--refuse-login", action="store_true")
    parser.add_argument("--fail-store", type=int, default=0)
    parser.add_argument("--drop-store", type=int, default=0)
    parser.add_argument("--delete-incomplete", action="store_true")
    parser.add_argument("--reply-delay", type=float, default=0.0)
    args = parser.parse_args()
    QUIET["on"] = args.quiet

    logging.basicConfig(level=logging.WARNING)
    authorizer = Refusing() if args.refuse_login else DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm="elradfmwMT")
    stores = {"n": 0}

    class Handler(FTPHandler):
        def on_connect(self):
            say("connect")

        def respond(self, resp, *rest, **named):
            if args.reply_delay <= 0:
                return FTPHandler.respond(self, resp, *rest, **named)

            def late():
                if not self._closed:
                    FTPHandler.respond(self, resp)
            self.ioloop.call_later(args.reply_delay, late, _errback=lambda: None)

        def ftp_STOR(self, file, mode="w"):
            stores["n"] += 1
            if stores["n"] == args.fail_store:
                self.respond("550 store refused by the test")
                return
            if stores["n"] == args.drop_store:
                if self.data_channel is not None:
                    self.data_channel.close()
                self.close()
                return
            self.pending = getattr(self, "pending", set()) | {file}
            return FTPHandler.ftp_STOR(self, file, mode)

        def log_exception(self, instance):
            # pyftpdlib's own message takes the handler's repr, which itself
            # fails on a data channel whose file is closed already.
            say("error " + traceback.format_exc().replace("\n", " | "))

        def on_file_received(self, file):
            self.pending = getattr(self, "pending", set()) - {file}
            say("stored " + os.path.basename(file))

        def on_incomplete_file_received(self, file):
            self.pending = getattr(self, "pending", set()) - {file}
            say("incomplete " + os.path.basename(file))
            if args.delete_incomplete and os.path.exists(file):
                os.remove(file)

        def close(self):
            FTPHandler.close(self)
            # A STOR whose data connection never came (or whose transfer was
            # cut) leaves a file and maybe no callback; settle it now, the
            # server may be on its way down.
            for file in getattr(self, "pending", set()):
                say("incomplete " + os.path.basename(file))
                if args.delete_incomplete and os.path.exists(file):
                    os.remove(file)
            self.pending = set()

    Handler.authorizer = authorizer
    Handler.auth_failed_timeout = 0.05
    Handler.passive_ports = None
    Handler.banner = "orvane test server"
    server = FTPServer((args.address, args.port), Handler)
    say("ready %d" % server.socket.getsockname()[1])
    stopping = {"since": None}
    signal.signal(signal.SIGUSR1, lambda *_: stopping.update(since=stopping["since"] or time.monotonic()))
    while stopping["since"] is None:
        server.serve_forever(timeout=0.05, blocking=False, handle_exit=False)
    server.close()  # the listening socket only

    def busy(h):
        return isinstance(h, FTPHandler) and (
            h.data_channel is not None or h._in_dtp_queue is not None or len(h.producer_fifo) > 0)

    while any(busy(h) for h in list(server.ioloop.socket_map.values())):
        if time.monotonic() - stopping["since"] > 5:
            break
        server.serve_forever(timeout=0.01, blocking=False, handle_exit=False)
    server.close_all()
    say("stopped")


if __name__ == "__main__":
    main()
