#!/usr/bin/env python3
"""A local stand-in for a Zimbra mail server's REST import, over HTTPS on 127.0.0.1 with a
throwaway certificate, for crateline-cli upload's tests.

It follows the contract of Zimbra's public source as far as the client can see it:
- SOAP AuthRequest (urn:zimbraAccount) at /service/soap/ gives a token, also set as the
  ZM_AUTH_TOKEN cookie; a bad password is a 500 with a SOAP fault account.AUTH_FAILED; an
  account with two-factor login gets no token. GetInfoRequest names the token's account. An
  account may be named by an alias ("ann" for ann@example.com). The admin service
  (/service/admin/soap/, below `admin_prefix` when one is set, as a separate port would be)
  takes an admin AuthRequest and DelegateAuthRequest.
- POST /service/home/USER/?fmt=tgz takes the ZM_AUTH_TOKEN cookie, a zauthtoken= parameter or
  HTTP Basic; otherwise 401 with a BASIC challenge. An unknown account or folder is a 404.
  The body is raw, with a length or chunked.
- With callback=NAME the answer is the HTML page that calls window.parent.NAME('success' |
  'warn' | 'fail', fault, ...), each fault a SOAP fault in JSON naming the entry's path;
  without it, an empty 200.

What it receives it checks with crateline-cli verify (our own importer's reader) and Python's
tarfile, and keeps every message it imports, so that a test can count duplicates. A message
with an "X-Test-Fault: CODE" header is refused with that code, as Zimbra refuses what it
cannot take. Tests set `behaviour` to make it cut the connection, answer late or answer with a
gateway's status, answer at once and reset the connection, pad its faults, or let every
token expire.
"""
import base64
import hashlib
import html
import http.server
import io
import json
import os
import re
import secrets
import socket
import ssl
import subprocess
import tarfile
import tempfile
import threading
import time
import urllib.parse


def make_certificate(folder):
    """A self-signed certificate for 127.0.0.1 and localhost; returns (cert, key) paths."""
    cert = os.path.join(folder, "cert.pem")
    key = os.path.join(folder, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=localhost", "-keyout", key, "-out", cert,
                    "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"],
                   check=True, capture_output=True)
    return cert, key


def soap_fault(code, reason):
    return ('<soap:Envelope xmlns:soap="http://www.w3.org/2003/05/soap-envelope"><soap:Body>'
            '<soap:Fault><soap:Code><soap:Value>soap:Sender</soap:Value></soap:Code>'
            f'<soap:Reason><soap:Text>{html.escape(reason)}</soap:Text></soap:Reason>'
            f'<soap:Detail><Error xmlns="urn:zimbra"><Code>{code}</Code><Trace>t</Trace></Error>'
            '</soap:Detail></soap:Fault></soap:Body></soap:Envelope>')


def js_fault(code, message, path=None):
    """One fault as Zimbra's SoapJSProtocol writes it ('<' and '>' escaped as it does)."""
    error = {"Code": code, "Trace": "qtp1-1:1:0"}
    if path is not None:
        error["a"] = [{"n": "path", "t": "STR", "_content": path}]
    error["_jsns"] = "urn:zimbra"
    fault = {"Code": {"Value": "soap:Receiver"}, "Reason": {"Text": message},
             "Detail": {"Error": error}, "_jsns": "urn:zimbraSoap"}
    return json.dumps(fault, ensure_ascii=False).replace("<", "\\u003C").replace(">", "\\u003E")


def callback_page(callback, result, faults):
    out = "<html>\n<head>\n</head>\n<body onload='onLoad()'>\n<script>\nfunction onLoad() {\n"
    out += f"    window.parent.{callback}('{result}'"
    for fault in faults:
        out += ",\n\t" + fault
    return out + ");\n}\n</script>\n</body>\n</html>\n"


class _Discard:
    def write(self, data):
        pass


class ZimbraServer:
    def __init__(self, cli, workdir, host="127.0.0.1"):
        self.cli = cli
        self.workdir = workdir
        self.accounts = {"ann@example.com": "s3cret pass", "ben@example.com": "b3n",
                         "cat@example.com": "a&b<c"}
        self.aliases = {"ann": "ann@example.com"}
        self.admin_prefix = ""
        self.two_factor = {"tom@example.com": "t0m"}
        self.admins = {"admin@example.com": "adm1n"}
        self.folders = {"", "Inbox", "Sent"}
        self.tokens = {}        # token -> account
        self.admin_tokens = set()
        self.mailboxes = {}     # account -> list of (folder, name, sha256, mtime, unread)
        self.requests = []      # what each import request was: dict
        # Test switches: "cut" (close after this many body bytes, no answer), "delay" (seconds
        # before answering), "status" (answer this status instead, e.g. 504; "location" with a
        # redirect), "reset" (answer this status at once, before the body, and close), each for
        # the import requests whose number (from 1) is in "on" (all when absent);
        # "fault_padding" (each fault's text this many characters longer), "expire_after"
        # (every token stops working after this many import requests), "no_faults" (what
        # X-Test-Fault refused is imported now), "cut_answer" (the verdict page cut after this
        # many bytes).
        self.behaviour = {}
        self.on_soap = None  # called at every SOAP request (a login): a test's moment to act
        # Bumped by reset(): a request still running from before (a late answer a test gave up
        # on) then imports nothing into the next test's mailboxes.
        self.generation = 0
        self.lock = threading.Lock()
        self.cert, self.key = make_certificate(workdir)
        handler = self._handler()

        class Server(http.server.ThreadingHTTPServer):
            daemon_threads = True

            def handle_error(self, request, client_address):
                pass  # a client that gives up mid-request (a test's cut, a refused certificate)

        self.httpd = Server(("127.0.0.1", 0), handler)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(self.cert, self.key)
        self.httpd.socket = context.wrap_socket(self.httpd.socket, server_side=True)
        self.port = self.httpd.server_address[1]
        self.url = f"https://{host}:{self.port}"
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def reset(self):
        with self.lock:
            self.generation += 1
            self.behaviour = {}
            self.on_soap = None
            self.admin_prefix = ""
            self.mailboxes.clear()
            self.requests.clear()

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()

    def messages(self, account="ann@example.com"):
        return self.mailboxes.get(account, [])

    # ---- the handler -------------------------------------------------------------------------
    def _handler(self):
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def handle_expect_100(self):
                # A server that refuses on the headers alone answers at once, with no 100.
                if server.behaviour.get("reset") and self.path.startswith("/service/home/"):
                    return True
                return super().handle_expect_100()

            def send(self, status, body=b"", content_type="text/html; charset=utf-8",
                     headers=()):
                if isinstance(body, str):
                    body = body.encode()
                self.send_response(status)
                for name, value in headers:
                    self.send_header(name, value)
                if body:
                    self.send_header("Content-Type", content_type)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def read_body(self, limit=None, spool=None):
                """The request body (to `spool`, a file, when given); stops after `limit` bytes
                and returns None then."""
                out = spool if spool is not None else io.BytesIO()
                got = 0

                def take(n):
                    nonlocal got
                    while n > 0:
                        step = min(n, 1 << 16)
                        if limit is not None and got + step > limit:
                            step = limit - got
                        data = self.rfile.read(step)
                        if not data:
                            raise ConnectionError("body cut short")
                        out.write(data)
                        got += len(data)
                        n -= len(data)
                        if limit is not None and got >= limit:
                            return False
                    return True

                if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
                    while True:
                        size = int(self.rfile.readline().split(b";")[0].strip(), 16)
                        if size == 0:
                            while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                                pass
                            break
                        if not take(size):
                            return None
                        self.rfile.readline()
                else:
                    if not take(int(self.headers.get("Content-Length", "0"))):
                        return None
                return out

            def do_POST(self):
                path = urllib.parse.urlparse(self.path)
                if path.path.rstrip("/") == "/service/soap":
                    return self.soap(admin=False)
                if path.path.rstrip("/") == server.admin_prefix + "/service/admin/soap":
                    return self.soap(admin=True)
                if path.path.startswith("/service/home/"):
                    return self.rest(path)
                self.send(404, "no such service")

            def soap(self, admin):
                body = self.read_body().getvalue().decode()
                if server.on_soap:
                    server.on_soap()
                def value(tag):
                    m = re.search(rf"<{tag}(?:\s[^>]*)?>([^<]*)</{tag}>", body)
                    return html.unescape(m.group(1)) if m else None
                def fault(code, reason):
                    return self.send(500, soap_fault(code, reason), "text/xml; charset=utf-8")
                def ok(name, ns, token):
                    reply = (f'<soap:Envelope xmlns:soap="http://www.w3.org/2003/05/soap-envelope">'
                             f'<soap:Header><context xmlns="urn:zimbra"/></soap:Header><soap:Body>'
                             f'<{name} xmlns="{ns}"><authToken>{token}</authToken>'
                             f'<lifetime>172800000</lifetime></{name}></soap:Body></soap:Envelope>')
                    self.send(200, reply, "text/xml; charset=utf-8",
                              [("Set-Cookie", f"ZM_AUTH_TOKEN={token}; Path=/; Secure; HttpOnly")])
                if "<GetInfoRequest" in body and not admin:
                    m = re.search(r"ZM_AUTH_TOKEN=([^;\s]+)", self.headers.get("Cookie", ""))
                    token = value("authToken") or (m.group(1) if m else None)
                    if token not in server.tokens:
                        return fault("service.AUTH_REQUIRED", "no valid authtoken present")
                    reply = ('<soap:Envelope xmlns:soap="http://www.w3.org/2003/05/soap-envelope">'
                             '<soap:Body><GetInfoResponse xmlns="urn:zimbraAccount">'
                             '<version>test</version><id>1</id>'
                             f'<name>{html.escape(server.tokens[token])}</name>'
                             '</GetInfoResponse></soap:Body></soap:Envelope>')
                    return self.send(200, reply, "text/xml; charset=utf-8")
                if "<AuthRequest" in body and not admin:
                    account, password = value("account"), value("password")
                    account = server.aliases.get(account, account)
                    if account in server.two_factor and server.two_factor[account] == password:
                        reply = ('<soap:Envelope xmlns:soap="http://www.w3.org/2003/05/soap-envelope">'
                                 '<soap:Body><AuthResponse xmlns="urn:zimbraAccount">'
                                 '<twoFactorAuthRequired>true</twoFactorAuthRequired>'
                                 '</AuthResponse></soap:Body></soap:Envelope>')
                        return self.send(200, reply, "text/xml; charset=utf-8")
                    if server.accounts.get(account) != password:
                        return fault("account.AUTH_FAILED", f"authentication failed for [{account}]")
                    token = "0_" + secrets.token_hex(16)
                    server.tokens[token] = account
                    return ok("AuthResponse", "urn:zimbraAccount", token)
                if "<AuthRequest" in body and admin:
                    name, password = value("name"), value("password")
                    if server.admins.get(name) != password:
                        return fault("account.AUTH_FAILED", f"authentication failed for [{name}]")
                    token = "0_" + secrets.token_hex(16)
                    server.admin_tokens.add(token)
                    return ok("AuthResponse", "urn:zimbraAdmin", token)
                if "<DelegateAuthRequest" in body and admin:
                    if value("authToken") not in server.admin_tokens:
                        return fault("service.AUTH_REQUIRED", "no valid authtoken present")
                    account = server.aliases.get(value("account"), value("account"))
                    if account not in server.accounts:
                        return fault("account.NO_SUCH_ACCOUNT", f"no such account: {account}")
                    token = "0_" + secrets.token_hex(16)
                    server.tokens[token] = account
                    return ok("DelegateAuthResponse", "urn:zimbraAdmin", token)
                fault("service.UNKNOWN_DOCUMENT", "unknown document")

            def who(self, query):
                cookie = self.headers.get("Cookie", "")
                m = re.search(r"ZM_AUTH_TOKEN=([^;\s]+)", cookie)
                if m and m.group(1) in server.tokens:
                    return server.tokens[m.group(1)], "cookie"
                for token in query.get("zauthtoken", []):
                    if token in server.tokens:
                        return server.tokens[token], "zauthtoken"
                auth = self.headers.get("Authorization", "")
                if auth.startswith("Basic "):
                    user, _, password = base64.b64decode(auth[6:]).decode().partition(":")
                    user = server.aliases.get(user, user)
                    if server.accounts.get(user) == password:
                        return user, "basic"
                return None, None

            def rest(self, path):
                query = urllib.parse.parse_qs(path.query)
                with server.lock:
                    number = len(server.requests) + 1
                    record = {"number": number, "query": query, "headers": dict(self.headers),
                              "generation": server.generation}
                    server.requests.append(record)
                b = server.behaviour
                active = "on" not in b or number in b["on"]
                if b.get("expire_after") and number > b["expire_after"] and not b.get("expired"):
                    b["expired"] = True
                    server.tokens.clear()
                if active and b.get("reset"):
                    # Answered at once, the body unread, and the connection reset.
                    self.send(b["reset"], "refused", headers=[("Connection", "close")])
                    self.close_connection = True
                    self.connection.shutdown(socket.SHUT_RDWR)
                    return
                account, how = self.who(query)
                record["auth"] = how
                rest = urllib.parse.unquote(path.path[len("/service/home/"):])
                owner, _, folder = rest.partition("/")
                owner = server.aliases.get(owner, owner)
                folder = folder.strip("/")
                if account is None:
                    self.read_body(spool=_Discard())
                    return self.send(401, "must authenticate",
                                     headers=[("WWW-Authenticate", 'BASIC realm="Zimbra"')])
                if owner not in (account, "~"):
                    self.read_body(spool=_Discard())
                    return self.send(404 if owner not in server.accounts else 401, "no such item")
                if folder not in server.folders:
                    self.read_body(spool=_Discard())
                    return self.send(404, "no such item")
                spool = tempfile.NamedTemporaryFile(dir=server.workdir, suffix=".tgz", delete=False)
                try:
                    cut = b.get("cut") if active else None
                    got = self.read_body(limit=cut, spool=spool)
                    spool.close()
                    record["bytes"] = os.path.getsize(spool.name)
                    if got is None:  # cut: the connection goes, no answer
                        self.close_connection = True
                        self.connection.shutdown(socket.SHUT_RDWR)
                        return
                    if active and b.get("delay"):
                        time.sleep(b["delay"])
                    if active and b.get("status"):
                        headers = [("Location", b["location"])] if b.get("location") else []
                        return self.send(b["status"], f"<html>{b['status']} Gateway Time-out</html>",
                                         headers=headers)
                    self.import_archive(spool.name, account, query, record)
                finally:
                    os.unlink(spool.name)

            def import_archive(self, path, account, query, record):
                verify = subprocess.run([server.cli, "verify", path], capture_output=True, text=True)
                record["verify"] = verify.returncode
                faults, result = [], "success"
                try:
                    with tarfile.open(path, "r:gz") as tar:
                        for member in tar:
                            data = tar.extractfile(member).read()
                            head = data.split(b"\r\n\r\n")[0].split(b"\n\n")[0]
                            m = re.search(rb"^X-Test-Fault: (\S+)", head, re.M)
                            if m and not server.behaviour.get("no_faults"):
                                padding = "." * server.behaviour.get("fault_padding", 0)
                                faults.append(js_fault(m.group(1).decode(),
                                                       "test fault for " + member.name + padding,
                                                       member.name))
                                continue
                            folder = os.path.dirname(member.name)
                            if query.get("subfolder"):
                                folder = query["subfolder"][0] + ("/" + folder if folder else "")
                            with server.lock:
                                if server.generation != record["generation"]:
                                    continue
                                server.mailboxes.setdefault(account, []).append(
                                    (folder, os.path.basename(member.name),
                                     hashlib.sha256(data).hexdigest(), member.mtime,
                                     not member.mode & 0o200))
                except (tarfile.TarError, OSError, EOFError) as e:
                    result = "fail"
                    faults = [js_fault("formatter.INVALID_FORMAT", f"invalid format: {e}")]
                if verify.returncode != 0 and result == "success":
                    faults.append(js_fault("formatter.UNKNOWN_ERROR", "the reader found problems"))
                if faults and result == "success":
                    result = "warn"
                record["result"] = result
                callback = query.get("callback", [None])[0]
                if callback is None:
                    return self.send(200) if result != "fail" else self.send(500, "formatter failure")
                if not re.fullmatch(r"[A-Za-z0-9_.-]+", callback):
                    return self.send(400, "invalid callback")
                page = callback_page(callback, result, faults).encode()
                cut = server.behaviour.get("cut_answer")
                if cut:
                    self.send_response(200)
                    self.send_header("Content-Type", "text/html; charset=utf-8")
                    self.send_header("Content-Length", str(len(page)))
                    self.end_headers()
                    self.wfile.write(page[:cut])
                    self.wfile.flush()
                    self.close_connection = True
                    self.connection.shutdown(socket.SHUT_RDWR)
                    return
                self.send(200, page)

        return Handler


if __name__ == "__main__":
    import sys
    folder = tempfile.mkdtemp(prefix="zimbra-server-")
    server = ZimbraServer(sys.argv[1] if len(sys.argv) > 1 else "crateline-cli", folder)
    print(f"listening on {server.url}; certificate {server.cert}", flush=True)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        server.stop()
