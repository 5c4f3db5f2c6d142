#!/usr/bin/env python3
"""A small TDS server for the tests: enough of SQL Server's protocol for an
ODBC driver to log in and run batches, with answers that each test scripts.

    tds_server.py --script SCRIPT.json --log EVENTS.log

It listens on 127.0.0.1 on a port the system chooses and prints "PORT n" on
standard output once it does. Every event is appended to the log as a header
line "KIND CONNECTION SECONDS LENGTH" followed by LENGTH bytes and a line feed:
login (the LOGIN7 fields, one "name=value" a line, the password decoded),
batch (the text of a batch, UTF-8, exactly as received), attention, action
(what the table model did: "create", "insert N", "update N") and close.

The script (JSON), every member optional:
  "login":  "accept" (default), "refuse" (error 18456), "refuse_db" (4060,
            then 18456) or "silent" (accepts the connection, never answers);
  "table":  true when table vesk_org exists at start (default false);
  "rows":   org_ids that vesk_org holds at start;
  "rules":  answers to batches, the first rule that matches wins:
            {"match": TEXT (a substring of the batch), "batch": N (the N-th
             batch of the server's life, from 1), "times": N (how often the
             rule may apply), and one of
             "tokens": [{"done": {"count": N, "more": true, "error": true}},
                        {"error": {"number": N, "class": N, "state": N,
                                   "message": TEXT}},
                        {"info": {...as error...}}],
             "pause": SECONDS (then the usual answer),
             "silent": true (no answer; an ATTENTION is still answered),
             "close": true (the connection is dropped)}.
Batches no rule matches are answered by a model of table vesk_org: the
IF NOT EXISTS ... CREATE TABLE creates it, "SELECT * FROM vesk_org WHERE
1 = 0" returns its columns (or error 208 when it does not exist), an upsert
updates or inserts the org_id of its WHERE, and anything else is DONE.
"""

import argparse
import json
import re
import select
import socket
import socketserver
import struct
import sys
import threading
import time

PRELOGIN, LOGIN7, SQLBATCH, ATTENTION, REPLY = 0x12, 0x10, 0x01, 0x06, 0x04
DONE_MORE, DONE_ERROR, DONE_COUNT, DONE_ATTN = 0x01, 0x02, 0x10, 0x20
COLLATION = bytes([0x09, 0x04, 0xD0, 0x00, 0x34])  # Latin1_General_CI_AS

VESK_ORG = [("org_id", "int"), ("status", 70), ("event_notes", 60), ("id_code", 10),
            ("pin_code", 10), ("organization_name", 30), ("event_kill_date", "datetime"),
            ("event_update_time", "datetime"), ("permanent_notes", 6000), ("town_city", 30),
            ("county", 20), ("category", 30), ("web_address", 50), ("contact_name", 30),
            ("street_address_1", 50), ("street_address_2", 50), ("zip_code", 5), ("city", 30),
            ("state", 15), ("daytime_phone", 14), ("evening_phone", 14), ("other_phone", 14),
            ("fax_number", 14), ("email_address", 50)]


def b_varchar(text):
    data = text.encode("utf-16-le")
    return bytes([len(text)]) + data


def us_varchar(text):
    return struct.pack("<H", len(text)) + text.encode("utf-16-le")


class Server:
    def __init__(self, script, log_path):
        self.script = script
        self.log = open(log_path, "ab")
        self.lock = threading.Lock()
        self.start = time.monotonic()
        self.batches = 0
        self.connections = 0
        self.table = bool(script.get("table") or script.get("rows"))
        self.rows = set(script.get("rows", []))
        self.rules = [dict(r) for r in script.get("rules", [])]

    def record(self, kind, conn, payload=b""):
        with self.lock:
            header = "%s %d %.6f %d\n" % (kind, conn, time.monotonic() - self.start, len(payload))
            self.log.write(header.encode() + payload + b"\n")
            self.log.flush()

    def rule_for(self, text):
        """Counts the batch and returns the rule that answers it (or None)."""
        with self.lock:
            self.batches += 1
            for rule in self.rules:
                if "match" in rule and rule["match"] not in text:
                    continue
                if "batch" in rule and rule["batch"] != self.batches:
                    continue
                if rule.get("times", 1) <= 0:
                    continue
                if "times" in rule:
                    rule["times"] -= 1
                return rule
        return None


class Connection(socketserver.BaseRequestHandler):
    def setup(self):
        self.server_state = self.server.state
        with self.server_state.lock:
            self.server_state.connections += 1
            self.number = self.server_state.connections
        self.tds_version = 0x74000004
        self.packet_size = 4096
        self.packet_id = 0
        self.pending = b""

    # -- packets -----------------------------------------------------------

    def read_exact(self, n):
        while len(self.pending) < n:
            chunk = self.request.recv(65536)
            if not chunk:
                raise EOFError
            self.pending += chunk
        data, self.pending = self.pending[:n], self.pending[n:]
        return data

    def read_message(self):
        """One whole client message: (type, payload)."""
        payload = b""
        while True:
            header = self.read_exact(8)
            kind, status, length = header[0], header[1], struct.unpack(">H", header[2:4])[0]
            payload += self.read_exact(length - 8)
            if status & 0x01:
                return kind, payload

    def send(self, payload):
        size = max(512, self.packet_size) - 8
        chunks = [payload[i:i + size] for i in range(0, len(payload), size)] or [b""]
        out = b""
        for i, chunk in enumerate(chunks):
            self.packet_id = (self.packet_id + 1) % 256
            status = 0x01 if i == len(chunks) - 1 else 0x00
            out += struct.pack(">BBHHBB", REPLY, status, len(chunk) + 8, 0x34, self.packet_id, 0) + chunk
        self.request.sendall(out)

    # -- tokens ------------------------------------------------------------

    def tds72(self):
        return self.tds_version >= 0x72000000

    def done(self, status=0, count=0, command=0xC1, token=0xFD):
        count_bytes = struct.pack("<Q", count) if self.tds72() else struct.pack("<I", count)
        return struct.pack("<BHH", token, status, command) + count_bytes

    def message(self, token, number, cls, state, text):
        line = struct.pack("<I", 1) if self.tds72() else struct.pack("<H", 1)
        body = (struct.pack("<iBB", number, state, cls) + us_varchar(text) + b_varchar("TDSTEST") +
                b_varchar("") + line)
        return bytes([token]) + struct.pack("<H", len(body)) + body

    def error(self, number, text, cls=16, state=1):
        return self.message(0xAA, number, cls, state, text)

    def envchange(self, kind, new, old):
        body = bytes([kind]) + new + old
        return bytes([0xE3]) + struct.pack("<H", len(body)) + body

    def colmetadata(self, columns):
        out = struct.pack("<BH", 0x81, len(columns))
        for name, kind in columns:
            out += struct.pack("<I", 0) if self.tds72() else struct.pack("<H", 0)
            out += struct.pack("<H", 0x0000 if name == "org_id" else 0x0001)
            if kind == "int":
                out += bytes([0x26, 4])
            elif kind == "float":
                out += bytes([0x6D, 8])
            elif kind == "datetime":
                out += bytes([0x6F, 8])
            elif kind == "nvarchar":
                out += bytes([0xE7]) + struct.pack("<H", 8000) + COLLATION
            else:
                out += bytes([0xAF]) + struct.pack("<H", kind) + COLLATION
            out += b_varchar(name)
        return out

    def row(self, columns, values):
        out = bytes([0xD1])
        for (name, kind), value in zip(columns, values):
            if kind == "int":
                out += b"\x00" if value is None else bytes([4]) + struct.pack("<i", value)
            elif kind == "float":
                out += b"\x00" if value is None else bytes([8]) + struct.pack("<d", value)
            elif kind == "datetime":
                # [days since 1900-01-01, 1/300 s since midnight]
                out += b"\x00" if value is None else bytes([8]) + struct.pack("<iI", *value)
            else:
                data = value.encode("utf-16-le" if kind == "nvarchar" else "latin-1") if value is not None else None
                out += b"\xff\xff" if data is None else struct.pack("<H", len(data)) + data
        return out

    def scripted_tokens(self, tokens):
        out = b""
        for t in tokens:
            if "done" in t:
                d = t["done"]
                status = (DONE_MORE if d.get("more") else 0) | (DONE_ERROR if d.get("error") else 0)
                if "count" in d:
                    status |= DONE_COUNT
                out += self.done(status, d.get("count", 0))
            else:
                kind = "error" if "error" in t else "info"
                e = t[kind]
                out += self.message(0xAA if kind == "error" else 0xAB, e.get("number", 50000),
                                    e.get("class", 16 if kind == "error" else 0), e.get("state", 1),
                                    e.get("message", ""))
        return out

    # -- the conversation ----------------------------------------------------

    def prelogin_reply(self):
        options = [(0x00, bytes([15, 0, 0x07, 0xD0, 0, 0])), (0x01, bytes([0x02])),
                   (0x02, bytes([0])), (0x03, b""), (0x04, bytes([0]))]
        offset = len(options) * 5 + 1
        head, data = b"", b""
        for token, value in options:
            head += struct.pack(">BHH", token, offset + len(data), len(value))
            data += value
        return head + b"\xff" + data

    def login(self, payload):
        self.tds_version = struct.unpack("<I", payload[4:8])[0]
        self.packet_size = struct.unpack("<I", payload[8:12])[0] or 4096

        def field(at):
            offset, length = struct.unpack("<HH", payload[at:at + 4])
            return payload[offset:offset + 2 * length]

        password = bytes(((b ^ 0xA5) >> 4 | ((b ^ 0xA5) & 0x0F) << 4) for b in field(44))
        fields = {
            "host": field(36).decode("utf-16-le"),
            "user": field(40).decode("utf-16-le"),
            "password": password.decode("utf-16-le"),
            "app": field(48).decode("utf-16-le"),
            "server": field(52).decode("utf-16-le"),
            "language": field(64).decode("utf-16-le"),
            "database": field(68).decode("utf-16-le"),
            "tds": "%08x" % self.tds_version,
            "packet": str(self.packet_size),
        }
        text = "".join("%s=%s\n" % kv for kv in fields.items())
        self.server_state.record("login", self.number, text.encode("utf-8"))
        return fields

    def login_reply(self, fields):
        mode = self.server_state.script.get("login", "accept")
        user = fields["user"]
        if mode == "refuse":
            return self.error(18456, "Login failed for user '%s'." % user, cls=14) + self.done(DONE_ERROR)
        if mode == "refuse_db":
            db = fields["database"]
            return (self.error(4060, "Cannot open database \"%s\" requested by the login. The login "
                               "failed." % db, cls=11) +
                    self.error(18456, "Login failed for user '%s'." % user, cls=14) + self.done(DONE_ERROR))
        database = fields["database"] or "master"
        version = struct.pack(">I", self.tds_version)
        ack_body = bytes([1]) + version + b_varchar("TDS test server") + bytes([15, 0, 0x07, 0xD0])
        return (self.envchange(1, b_varchar(database), b_varchar("master")) +
                self.message(0xAB, 5701, 0, 2, "Changed database context to '%s'." % database) +
                self.envchange(7, bytes([5]) + COLLATION, bytes([0])) +
                self.envchange(2, b_varchar("us_english"), b_varchar("")) +
                self.message(0xAB, 5703, 0, 1, "Changed language setting to us_english.") +
                bytes([0xAD]) + struct.pack("<H", len(ack_body)) + ack_body +
                self.envchange(4, b_varchar(str(self.packet_size)), b_varchar("4096")) +
                self.done())

    def model_reply(self, text):
        """The answer of the vesk_org model."""
        state = self.server_state
        if "CREATE TABLE [vesk_org]" in text:
            with state.lock:
                created = not state.table
                state.table = True
            if created:
                state.record("action", self.number, b"create")
            return self.done()
        if text == "SELECT * FROM vesk_org WHERE 1 = 0":
            if not state.table:
                return self.error(208, "Invalid object name 'vesk_org'.") + self.done(DONE_ERROR)
            columns = [(name, "int" if kind == "int" else kind) for name, kind in VESK_ORG]
            return self.colmetadata(columns) + self.done(DONE_COUNT, 0)
        m = re.search(r"IF EXISTS \(SELECT \* FROM vesk_org WHERE org_id = (-?\d+)\)", text)
        if m:
            org_id = int(m.group(1))
            with state.lock:
                if not state.table:
                    action = None
                elif org_id in state.rows:
                    action = "update"
                else:
                    action = "insert"
                    state.rows.add(org_id)
            if action is None:
                return self.error(208, "Invalid object name 'vesk_org'.") + self.done(DONE_ERROR)
            state.record("action", self.number, ("%s %d" % (action, org_id)).encode())
            command = 0xC5 if action == "update" else 0xC3
            return self.done(DONE_MORE | DONE_COUNT, 1, command, 0xFF) + self.done()
        m = re.fullmatch(r"SELECT '(.*)' AS probe", text, re.S)
        if m:
            # Result sets for the tests of the provider's reading of rows:
            # SELECT '{"columns": [[name, type]...], "rows": [[value...]...]}' AS probe
            probe = json.loads(m.group(1))
            columns = [tuple(c) for c in probe["columns"]]
            out = self.colmetadata(columns)
            for values in probe["rows"]:
                out += self.row(columns, values)
            return out + self.done(DONE_COUNT, len(probe["rows"]))
        return self.done()

    def wait_for_attention(self, seconds):
        """Waits up to `seconds` (None: for ever) for the client; True when an
        ATTENTION came (it has been answered)."""
        end = None if seconds is None else time.monotonic() + seconds
        while True:
            left = None if end is None else max(0.0, end - time.monotonic())
            if not self.pending:
                ready, _, _ = select.select([self.request], [], [], left)
                if not ready:
                    return False
            kind, _ = self.read_message()
            if kind == ATTENTION:
                self.server_state.record("attention", self.number)
                self.send(self.done(DONE_ATTN))
                return True

    def batch(self, payload):
        if self.tds72():
            payload = payload[struct.unpack("<I", payload[0:4])[0]:]
        text = payload.decode("utf-16-le", errors="surrogatepass")
        self.server_state.record("batch", self.number, text.encode("utf-8", errors="surrogatepass"))
        rule = self.server_state.rule_for(text)
        if rule is None:
            self.send(self.model_reply(text))
        elif rule.get("close"):
            raise EOFError
        elif rule.get("silent"):
            self.wait_for_attention(None)
        elif "pause" in rule:
            if not self.wait_for_attention(rule["pause"]):
                self.send(self.model_reply(text))
        else:
            self.send(self.scripted_tokens(rule.get("tokens", [])))

    def handle(self):
        try:
            if self.server_state.script.get("login") == "silent":
                while self.request.recv(65536):
                    pass
                raise EOFError
            while True:
                kind, payload = self.read_message()
                if kind == PRELOGIN:
                    self.send(self.prelogin_reply())
                elif kind == LOGIN7:
                    self.send(self.login_reply(self.login(payload)))
                elif kind == SQLBATCH:
                    self.batch(payload)
                elif kind == ATTENTION:
                    self.server_state.record("attention", self.number)
                    self.send(self.done(DONE_ATTN))
        except (EOFError, ConnectionError, OSError):
            pass
        self.server_state.record("close", self.number)


class ThreadingServer(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--script", required=True)
    parser.add_argument("--log", required=True)
    args = parser.parse_args()
    with open(args.script, encoding="utf-8") as f:
        script = json.load(f)
    server = ThreadingServer(("127.0.0.1", 0), Connection)
    server.state = Server(script, args.log)
    print("PORT %d" % server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        sys.exit(0)
