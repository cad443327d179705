#!/usr/bin/python3
"""A scripted SSH server with SFTP, for faults that OpenSSH's sshd will not produce.

    fakessh.py --root DIR --port-file FILE --host-key FILE --user NAME --password TEXT
               [--abort-after BYTES]

Password login for the one user. SFTP is confined to DIR (a chrooted root: the client sees DIR
as "/"). Behaviour chosen by names:
  - any path whose last name starts with "status-N" (N decimal) fails with SFTP status N;
  - a folder named "hostile" lists, before its files, entries named "", "../escape", "a/b",
    "nul<NUL>name", "bell<BEL>" and "esc<ESC>[2J" (a hostile server);
  - reading or writing a file whose name starts with "abort" cuts the connection once more
    than BYTES bytes of it went through (default 1 MiB);
  - renaming anything onto a name that ends with ".locked" fails with SFTP status 4.
Exec requests are refused unless --exec is given: then they run through /bin/sh in the real
folder DIR. With --shell PROGRAM a shell request runs that program in a pseudo terminal, in the
real folder DIR with HOME set to it: the shell sees the real paths while SFTP sees DIR as "/",
as on a server whose SFTP subsystem is chrooted. Writes the chosen port to FILE; stops when the
process that started it ends, and after 30 minutes in any case.
"""
import argparse
import asyncio
import fcntl
import os
import pty
import struct
import subprocess
import sys
import termios

import asyncssh

ARGS = None


class FakeServer(asyncssh.SSHServer):
    def begin_auth(self, username):
        return True

    def password_auth_supported(self):
        return True

    def validate_password(self, username, password):
        return username == ARGS.user and password == ARGS.password


def chosen_status(path):
    name = os.path.basename(path.rstrip(b"/"))
    if name.startswith(b"status-"):
        digits = b""
        for c in name[7:]:
            if not 48 <= c <= 57:
                break
            digits += bytes([c])
        if digits:
            code = int(digits)
            raise asyncssh.SFTPError(code, "chosen status %d" % code)


class FakeSftp(asyncssh.SFTPServer):
    def __init__(self, chan):
        super().__init__(chan, chroot=ARGS.root)

    def _cut_if_due(self, file_obj, end):
        name = os.path.basename(getattr(file_obj, "name", b"") or b"")
        if isinstance(name, str):
            name = name.encode()
        if name.startswith(b"abort") and end > ARGS.abort_after:
            self.connection.abort()
            raise asyncssh.SFTPConnectionLost("cut on purpose")

    def open(self, path, pflags, attrs):
        chosen_status(path)
        return super().open(path, pflags, attrs)

    def stat(self, path):
        chosen_status(path)
        return super().stat(path)

    def lstat(self, path):
        chosen_status(path)
        return super().lstat(path)

    def remove(self, path):
        chosen_status(path)
        return super().remove(path)

    def mkdir(self, path, attrs):
        chosen_status(path)
        return super().mkdir(path, attrs)

    def listdir(self, path):
        chosen_status(path)
        names = list(super().listdir(path))
        if os.path.basename(path.rstrip(b"/")) == b"hostile":
            attrs = asyncssh.SFTPAttrs(type=asyncssh.FILEXFER_TYPE_REGULAR, size=5,
                                       permissions=0o100644, atime=1700000000, mtime=1700000000)
            # The empty name comes first: every real entry after it must still be listed.
            bad = [asyncssh.SFTPName(name, attrs=attrs)
                   for name in (b"", b"../escape", b"a/b", b"nul\0name", b"bell\a", b"esc\x1b[2J")]
            names = bad + names
        return names

    def rename(self, oldpath, newpath):
        chosen_status(oldpath)
        if newpath.endswith(b".locked"):
            raise asyncssh.SFTPError(4, "renaming onto a locked name")
        return super().rename(oldpath, newpath)

    def read(self, file_obj, offset, size):
        self._cut_if_due(file_obj, offset + size)
        return super().read(file_obj, offset, size)

    def write(self, file_obj, offset, data):
        self._cut_if_due(file_obj, offset + len(data))
        return super().write(file_obj, offset, data)


def user_env():
    return {"HOME": ARGS.root, "PATH": "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin",
            "LANG": "C.UTF-8", "USER": ARGS.user, "LOGNAME": ARGS.user}


def set_size(fd, cols, rows):
    fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", rows or 24, cols or 80, 0, 0))


async def run_exec(process):
    proc = await asyncio.create_subprocess_exec(
        "/bin/sh", "-c", process.command, cwd=ARGS.root, env=user_env(),
        stdin=asyncio.subprocess.DEVNULL, stdout=asyncio.subprocess.PIPE,
        stderr=asyncio.subprocess.PIPE)
    out, err = await proc.communicate()
    process.stdout.write(out)
    process.stderr.write(err)
    process.exit(proc.returncode)


async def run_shell(process):
    cols, rows, _, _ = process.get_terminal_size()
    master, slave = pty.openpty()
    set_size(master, cols, rows)
    env = user_env()
    env["TERM"] = process.get_terminal_type() or "xterm"
    proc = subprocess.Popen([ARGS.shell, "-i"], stdin=slave, stdout=slave, stderr=slave,
                            cwd=ARGS.root, env=env, start_new_session=True,
                            preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))
    os.close(slave)
    loop = asyncio.get_running_loop()
    ended = asyncio.Event()

    def readable():
        try:
            data = os.read(master, 65536)
        except OSError:  # EIO: the shell has gone
            data = b""
        if not data:
            loop.remove_reader(master)
            ended.set()
            return
        process.stdout.write(data)

    async def typed():
        while True:
            try:
                data = await process.stdin.read(4096)
            except asyncssh.TerminalSizeChanged as size:
                set_size(master, size.width, size.height)
                continue
            if not data:
                break
            os.write(master, data)

    loop.add_reader(master, readable)
    typing = asyncio.ensure_future(typed())
    await ended.wait()
    typing.cancel()
    code = await loop.run_in_executor(None, proc.wait)
    os.close(master)
    process.exit(code)


async def run_process(process):
    if process.command is not None:
        await run_exec(process)
    else:
        await run_shell(process)


async def main():
    if not os.path.exists(ARGS.host_key):
        key = asyncssh.generate_private_key("ssh-ed25519")
        key.write_private_key(ARGS.host_key)
    server = await asyncssh.listen("127.0.0.1", 0, server_factory=FakeServer,
                                   server_host_keys=[ARGS.host_key], sftp_factory=FakeSftp,
                                   allow_scp=False, encoding=None,
                                   process_factory=run_process if ARGS.shell or ARGS.exec
                                   else None)
    port = server.sockets[0].getsockname()[1]
    with open(ARGS.port_file + ".tmp", "w") as f:
        f.write("%d\n" % port)
    os.replace(ARGS.port_file + ".tmp", ARGS.port_file)
    # Ends with the test binary that started it, even when that one crashed.
    parent = os.getppid()
    for _ in range(1800):
        await asyncio.sleep(1)
        if os.getppid() != parent:
            break


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--host-key", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--abort-after", type=int, default=1048576)
    parser.add_argument("--shell", default="")
    parser.add_argument("--exec", action="store_true")
    ARGS = parser.parse_args()
    if ARGS.shell and not ARGS.exec:
        # A shell without the exec channel, as restricted servers offer.
        asyncssh.stream.SSHServerStreamSession.exec_requested = lambda self, command: False
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        sys.exit(0)
