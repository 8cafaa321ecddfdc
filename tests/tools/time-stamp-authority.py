#!/usr/bin/env python3
# SPDX-License-Identifier: Zlib
# A time-stamp authority on 127.0.0.1 for the signing tests: RFC 3161 over HTTP, answered by
# openssl ts -reply with the test's own authority certificate. It writes its port to PORT_FILE
# once it listens, and serves until it is ended.
#   time-stamp-authority.py FOLDER PORT_FILE MODE
# FOLDER holds tsa.crt and tsa.key (a certificate for time stamping: extendedKeyUsage
# critical,timeStamping); the authority keeps its serial number there. MODE: "answer" answers each request; "garbage"
# answers with bytes that are no reply; "other" answers every request with the reply to a request
# of its own, for other bytes; "silent" takes the request and never answers.
import http.server
import os
import subprocess
import sys
import tempfile
import time

folder, port_file, mode = sys.argv[1:4]
config = os.path.join(folder, "tsa.cnf")
with open(config, "w") as f:
    f.write(f"""[tsa]
default_tsa = authority
[authority]
serial = {os.path.join(folder, "tsa.serial")}
crypto_device = builtin
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256, sha384, sha512
accuracy = secs:1
ess_cert_id_alg = sha256
""")


def reply(query):
    with tempfile.TemporaryDirectory() as scratch:
        query_file = os.path.join(scratch, "query.tsq")
        reply_file = os.path.join(scratch, "reply.tsr")
        with open(query_file, "wb") as f:
            f.write(query)
        answer = subprocess.run(
            ["openssl", "ts", "-reply", "-config", config,
             "-queryfile", query_file, "-signer", os.path.join(folder, "tsa.crt"),
             "-inkey", os.path.join(folder, "tsa.key"), "-out", reply_file],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        with open(reply_file, "rb") as f:
            return f.read()


def other_query():
    data = os.path.join(folder, "other.bin")
    with open(data, "wb") as f:
        f.write(b"another request's data")
    query = os.path.join(folder, "other.tsq")
    subprocess.run(["openssl", "ts", "-query", "-data", data, "-sha256", "-cert", "-out", query],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    with open(query, "rb") as f:
        return f.read()


class Authority(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        if mode == "silent":
            time.sleep(3600)
        if mode == "garbage":
            body = b"this is not a time-stamp reply\n"
        else:
            body = reply(other_query() if mode == "other" else query)
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), Authority)
with open(port_file + ".new", "w") as f:
    f.write(str(server.server_address[1]))
os.rename(port_file + ".new", port_file)
server.serve_forever()
