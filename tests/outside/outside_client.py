#!/usr/bin/python3
"""A Mirelune client written from docs/protocol.md alone, as somebody who never saw the
program's code would write it. It starts its own `mirelune-room host` processes on
loopback, joins an open and a password room, chats, takes a file the host offers, and
lists both rooms over UDP.

Usage: outside_client.py PATH-TO-mirelune-room
Each step prints one line; the exit code is 0 when all work, 77 when a needed Python
package (python3-nacl, python3-dissononce) is missing.
"""
import base64, ctypes, ctypes.util, hashlib, hmac, os, queue, re, socket, struct
import subprocess, sys, tempfile, threading, time, unicodedata

try:
    import nacl.bindings
    import nacl.exceptions
    import nacl.signing
    from dissononce.cipher.chachapoly import ChaChaPolyCipher
    from dissononce.dh.x25519.x25519 import X25519DH
    from dissononce.hash.blake2b import Blake2bHash
    from dissononce.processing.handshakepatterns.interactive.XX import XXHandshakePattern
    from dissononce.processing.impl.cipherstate import CipherState
    from dissononce.processing.impl.handshakestate import HandshakeState
    from dissononce.processing.impl.symmetricstate import SymmetricState
    # PyNaCl 1.5 has no ristretto255; libsodium, which it is built on, does.
    sodium = ctypes.CDLL(ctypes.util.find_library("sodium") or "libsodium.so.23")
except (ImportError, OSError) as missing:
    print(f"skipped: {missing}")
    sys.exit(77)

APP_ID = "{AC330441-9B71-11D2-9AAB-0020781461AC}"
HELLO, CHALLENGE, AUTH, ACCEPT, REJECT = 0x01, 0x02, 0x03, 0x04, 0x05
CREATE_PLAYER, PLAYER_CREATED, PLAYER_REFUSED, DELEGATION = 0x10, 0x11, 0x12, 0x16
SEND, DELIVER, JOINED, LEFT, ACK, HISTORY, RECEIPT = 0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26
FILE_PART, WANT, CHUNK, DONE = 0x27, 1, 2, 4
HEARTBEAT, GOODBYE = 0x30, 0x31
EVENTS = (DELIVER, JOINED, LEFT)


class Failure(Exception):
    pass


def expect(condition, what):
    if not condition:
        raise Failure(what)


# --- Conventions: big-endian integers, strings after a u32 byte count -------------------
def u16(n): return struct.pack(">H", n)
def u32(n): return struct.pack(">I", n)
def i32(n): return struct.pack(">i", n)
def u64(n): return struct.pack(">Q", n)
def string(text): return u32(len(text.encode())) + text.encode()
def frame(kind, body=b""): return u32(1 + len(body)) + bytes([kind]) + body


class Reader:
    def __init__(self, data): self.data, self.at = data, 0
    def take(self, n):
        expect(self.at + n <= len(self.data), "a body cut short")
        self.at += n
        return self.data[self.at - n:self.at]
    def u8(self): return self.take(1)[0]
    def u16(self): return struct.unpack(">H", self.take(2))[0]
    def u32(self): return struct.unpack(">I", self.take(4))[0]
    def i32(self): return struct.unpack(">i", self.take(4))[0]
    def u64(self): return struct.unpack(">Q", self.take(8))[0]
    def string(self): return self.take(self.u32()).decode("utf-8", "replace")
    def left(self): return len(self.data) - self.at


# --- ristretto255 and CPace -------------------------------------------------------------
DSI = b"CPaceRistretto255"


def ristretto(function, *args):
    """A libsodium ristretto255 call into 32 bytes; None when it fails (an invalid point,
    the identity as a product)."""
    out = ctypes.create_string_buffer(32)
    return out.raw if getattr(sodium, "crypto_" + function)(out, *args) == 0 else None


def ristretto_mul(scalar, point): return ristretto("scalarmult_ristretto255", scalar, point)


def random_scalar():
    scalar = ctypes.create_string_buffer(32)
    sodium.crypto_core_ristretto255_scalar_random(scalar)
    return scalar.raw


def prepend_len(data):
    n, length = len(data), b""
    while True:  # LEB128
        length += bytes([(n & 0x7F) | (0x80 if n > 0x7F else 0)])
        n >>= 7
        if not n:
            return length + data


def lv_cat(*parts): return b"".join(prepend_len(p) for p in parts)
def sha512(data): return hashlib.sha512(data).digest()
def password_bytes(password): return unicodedata.normalize("NFC", password).encode()


def cpace_generator(prs, ci, sid):
    zeros = b"\0" * max(0, 128 - len(prepend_len(prs)) - len(prepend_len(DSI)) - 1)
    return ristretto("core_ristretto255_from_hash", sha512(lv_cat(DSI, prs, zeros, ci, sid)))


def cpace_isk(sid, k, ya, ada, yb, adb):
    return sha512(lv_cat(DSI + b"_ISK", sid, k) + lv_cat(ya, ada) + lv_cat(yb, adb))


# --- Room identity ----------------------------------------------------------------------
def fingerprint(room_key):
    text = base64.b32encode(hashlib.blake2b(room_key, digest_size=32).digest()).decode()[:20]
    return "-".join(text[i:i + 5] for i in range(0, 20, 5))


def check_chain(room_key, links, room_name):
    """Verifies a chain of hosting delegations; returns the last subject's two keys."""
    issuer, subject = room_key, None
    for i, link in enumerate(links):
        noise_key, signing_key, signature = link[:32], link[32:64], link[64:]
        signed = b"mirelune room host" + room_key + bytes([i]) + noise_key + signing_key
        nacl.signing.VerifyKey(issuer).verify(signed + room_name.encode(), signature)
        issuer, subject = signing_key, (noise_key, signing_key)
    return subject


def read_links(r):
    count = r.u8()
    expect(1 <= count <= 8, f"a chain of {count} links")
    return [r.take(128) for _ in range(count)]


# --- Room connection: prologue, Noise XX, records ---------------------------------------
def whole(data, fmt):
    """Whether data starts with a whole item after its length of format fmt."""
    n = struct.calcsize(fmt)
    return len(data) >= n and len(data) >= n + struct.unpack(fmt, data[:n])[0]


class Connection:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=5)
        self.raw, self.stream, self.pending, self.events_taken, self.acked = b"", b"", b"", 0, 0
        self.seq = 0

    def exact(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            expect(chunk, "the host closed the connection")
            data += chunk
        return data

    def handshake(self):
        prologue = frame(HELLO, b"MLRN" + u16(4) + string(APP_ID) + b"\0" * 16)
        self.signing = nacl.signing.SigningKey.generate()
        self.static = X25519DH().generate_keypair()
        hs = HandshakeState(SymmetricState(CipherState(ChaChaPolyCipher()), Blake2bHash()),
                            X25519DH())
        hs.initialize(XXHandshakePattern(), True, prologue, s=self.static)
        message = bytearray()
        hs.write_message(b"", message)
        self.sock.sendall(prologue + u16(len(message)) + message)
        length = struct.unpack(">H", self.exact(2))[0]
        expect(length >= 96, "the host answered in clear")
        payload = bytearray()
        hs.read_message(self.exact(length), payload)
        self.room_proof, self.host_static = bytes(payload), hs.rs.data
        message = bytearray()
        mine, theirs = hs.write_message(bytes(self.signing.verify_key), message)
        self.pending = u16(len(message)) + bytes(message)  # goes with the first record
        self.h, self.ck = hs.symmetricstate.get_handshake_hash(), hs.symmetricstate._ck
        self.keys(mine._key, theirs._key)

    def keys(self, send_key, receive_key):
        self.send_key, self.receive_key, self.send_count, self.receive_count = \
            send_key, receive_key, 0, 0

    @staticmethod
    def nonce(counter): return b"\0" * 4 + struct.pack("<Q", counter)

    def send(self, *frames):
        plain, out = b"".join(frames), self.pending
        for at in range(0, len(plain), 65519):
            part = plain[at:at + 65519]
            length = u16(len(part) + 16)
            out += length + nacl.bindings.crypto_aead_chacha20poly1305_ietf_encrypt(
                part, length, self.nonce(self.send_count), self.send_key)
            self.send_count += 1
        self.sock.sendall(out)
        self.pending = b""

    def read_frame(self, timeout=5.0):
        """The next frame as (type, body), or None when none came within the timeout."""
        deadline = time.monotonic() + timeout
        while not whole(self.stream, ">I"):
            if whole(self.raw, ">H"):
                length, size = self.raw[:2], 2 + struct.unpack(">H", self.raw[:2])[0]
                expect(size >= 2 + 17, "a record below 17 bytes")
                self.stream += nacl.bindings.crypto_aead_chacha20poly1305_ietf_decrypt(
                    self.raw[2:size], length, self.nonce(self.receive_count), self.receive_key)
                self.raw, self.receive_count = self.raw[size:], self.receive_count + 1
                continue
            self.sock.settimeout(max(0.001, deadline - time.monotonic()))
            try:
                chunk = self.sock.recv(65537)
            except socket.timeout:
                return None
            expect(chunk, "the host closed the connection")
            self.raw += chunk
        length = struct.unpack(">I", self.stream[:4])[0]
        expect(1 <= length <= 1 << 20, f"a frame length of {length}")
        kind, body = self.stream[4], self.stream[5:4 + length]
        self.stream = self.stream[4 + length:]
        return kind, body

    def answer(self):
        """The next frame that is not a Heartbeat (one may come while a join waits)."""
        while True:
            got = self.read_frame()
            expect(got, "no answer in time")
            if got[0] != HEARTBEAT:
                return got

    def close(self):
        self.sock.close()


# --- Joining -----------------------------------------------------------------------------
def join(port, name, password=None):
    """Joins the room at port; returns (connection, room name, own id, roster) or the
    Reject's (reason, text)."""
    c = Connection(port)
    c.handshake()
    member_nonce = os.urandom(16)
    c.send(frame(HELLO, b"MLRN" + u16(4) + string(APP_ID) + member_nonce))
    kind, body = c.read_frame()
    expect(kind == CHALLENGE, f"frame {kind:#x} instead of Challenge")
    r = Reader(body)
    version, flags, host_nonce, instance = r.u16(), r.u8(), r.take(16), r.take(16)
    expect(version == 4, f"the host speaks version {version}")
    if flags & 1:
        expect(password is not None, "a password room, and no password")
        host_share = r.take(32)
        ci = lv_cat(c.static.public.data, c.host_static)
        scalar = random_scalar()
        g = cpace_generator(password_bytes(password), ci, c.h)
        share, k = ristretto_mul(scalar, g), ristretto_mul(scalar, host_share)
        expect(k is not None, "the host's share is no valid element")
        isk = cpace_isk(c.h, k, host_share, instance, share, member_nonce)
        mac_key = sha512(b"CPaceMac" + c.h + isk)
        tag_a = hmac.new(mac_key, lv_cat(host_share, instance), hashlib.sha512).digest()
        tag_b = hmac.new(mac_key, lv_cat(share, member_nonce), hashlib.sha512).digest()
        c.send(frame(AUTH, share + tag_b))
    else:
        c.send(frame(AUTH))
    kind, body = c.answer()
    if kind == REJECT:
        r = Reader(body)
        refusal = r.u32(), r.string()
        c.sock.settimeout(2)
        expect(c.sock.recv(1) == b"", "the host did not close after Reject")
        c.close()
        return refusal
    expect(kind == ACCEPT, f"frame {kind:#x} instead of Accept")
    r = Reader(body)
    if flags & 1:
        expect(hmac.compare_digest(r.take(64), tag_a), "the host could not prove the password")
        expect(c.stream == b"", "frames behind Accept in its record")
        _, k1, k2 = Blake2bHash().hkdf(c.ck, isk, 3)
        c.keys(k1[:32], k2[:32])
    expect(r.take(16) == instance, "Accept names another instance than the Challenge")
    room_name, attribute = r.string(), r.i32()
    # successorHost follows in a room of attribute 4; a first join cannot check it
    expect(attribute != 4 or r.left() >= 32, "Accept without successorHost")

    proof = Reader(c.room_proof)
    room_key = proof.take(32)
    subject = check_chain(room_key, read_links(proof), room_name)
    expect(subject[0] == c.host_static, "the room proof is for another host key")
    c.room_key, c.room_name = room_key, room_name

    c.send(frame(CREATE_PLAYER, string(name) + string("")))
    kind, body = c.answer()
    if kind == PLAYER_REFUSED:
        r = Reader(body)
        raise Failure(f"player refused: {r.u32()} {r.string()}")
    expect(kind == PLAYER_CREATED, f"frame {kind:#x} instead of PlayerCreated")
    r = Reader(body)
    own_id, resume_secret, _room_secret = r.i32(), r.take(32), r.take(32)
    roster = [(r.i32(), r.string()) for _ in range(r.u32())]
    expect(roster and roster[-1] == (own_id, name), "the roster does not end with me")
    c.keys = {}  # each player's signing key, for checking its lines
    if attribute == 4:  # succession fields: signing key, address, standby port per player
        succession = [(r.take(32), r.take(16), r.u16()) for _ in roster]
        expect(succession[-1][0] == bytes(c.signing.verify_key), "my signing key is not in the roster")
        expect(resume_secret == bytes(32), "a resume secret for a member that offered a key")
        expect(succession[0][1] == bytes(16), "the host's player has an address")
        c.keys = {player: fields[0] for (player, _), fields in zip(roster, succession)}
    c.own_id, c.unreadable, c.host_player = own_id, 0, roster[0][0]
    c.delegated, c.history, c.heartbeats = False, [], 0
    c.offers, c.files = [], {}
    return c, room_name, own_id, roster


def handle(c, kind, body, seen):
    """Takes one frame after PlayerCreated; events are counted and acknowledged."""
    if kind == DELEGATION:
        subject = check_chain(c.room_key, read_links(Reader(body)), c.room_name)
        expect(subject == (c.static.public.data, bytes(c.signing.verify_key)),
               "a delegation for somebody else")
        c.delegated = True
    elif kind == HISTORY:
        r = Reader(body)
        c.history = [(r.i32(), r.string(), r.string()) for _ in range(r.u32())]
    elif kind == HEARTBEAT:
        c.heartbeats += 1
    elif kind == ACK:
        c.acked = Reader(body).u32()
    elif kind in EVENTS:
        c.events_taken += 1
        c.send(frame(ACK, u32(c.events_taken)))
        if kind == DELIVER:
            line = read_deliver(c, body)
            if line:
                seen.append(line)
        elif kind == JOINED:
            r = Reader(body)
            player, _name, key = r.i32(), r.string(), r.take(32)
            c.keys.setdefault(player, key)  # a known player's key never changes
    elif kind == FILE_PART:  # not an event: nothing to count or acknowledge
        r = Reader(body)
        sender, part = r.i32(), r.take(r.left())
        if part[0] == CHUNK:
            r = Reader(part[1:])
            transfer, offset = r.u32(), r.u64()
            got = c.files.setdefault((sender, transfer), bytearray())
            if offset == len(got):  # anything else is a chunk sent before a restart
                got += r.take(r.left())
    elif kind == GOODBYE:
        raise Failure("the host said Goodbye")


def leave(c):
    c.send(frame(GOODBYE))
    c.close()


def pump(c, until, seconds=5.0):
    """Reads frames until until(seen) holds; sends the 2-second Ack meanwhile."""
    seen, deadline, last_ack = [], time.monotonic() + seconds, time.monotonic()
    while not until(seen):
        expect(time.monotonic() < deadline, "nothing came in time")
        got = c.read_frame(timeout=0.2)
        if got:
            handle(c, *got, seen)
        if time.monotonic() - last_ack >= 2:
            c.send(frame(ACK, u32(c.events_taken)))
            last_ack = time.monotonic()
    return seen


def line_signed_bytes(c, sender, receiver, seq, payload):
    return b"mirelune line" + c.room_key + i32(sender) + i32(receiver) + u32(seq) + payload


def send_chat(c, text, receiver=0):
    """A chat line: kind 0 (public) or 1 (private), then the text, signed by this device."""
    c.seq += 1
    payload = i32(0 if receiver == 0 else 1) + string(text)
    signature = c.signing.sign(line_signed_bytes(c, c.own_id, receiver, c.seq, payload)).signature
    c.send(frame(SEND, i32(receiver) + u32(c.seq) + signature + payload))


def read_deliver(c, body):
    """(sender, receiver, seq, text) of a Deliver of a chat line its author signed;
    None (counted as unreadable) for one whose signature does not verify."""
    r = Reader(body)
    sender, receiver, seq, signature = r.i32(), r.i32(), r.u32(), r.take(64)
    payload = r.take(r.left())
    try:
        nacl.signing.VerifyKey(c.keys.get(sender, bytes(32))).verify(
            line_signed_bytes(c, sender, receiver, seq, payload), signature)
    except Exception:
        c.unreadable += 1
        return None
    if sender != c.host_player:  # a receipt, signed, for what was taken of this sender
        signed = b"mirelune receipt" + c.room_key + i32(c.own_id) + i32(sender) + u32(seq)
        c.send(frame(RECEIPT, i32(sender) + u32(seq) + c.signing.sign(signed).signature))
    r = Reader(payload)
    chat_kind = r.i32()
    if chat_kind == 2:  # a file offer: transfer id, size in two halves, hash, name
        transfer, high, low = r.i32(), r.i32(), r.i32()
        c.offers.append((sender, transfer, (high << 32) | (low & 0xFFFFFFFF), r.string(), r.string()))
    return sender, receiver, seq, r.string() if chat_kind in (0, 1) else None


# --- Room discovery ----------------------------------------------------------------------
def list_rooms(discovery_port, password=None):
    nonce = os.urandom(16)
    query = b"MLDQ" + bytes([3]) + nonce + string(APP_ID)
    if password is not None:
        ci = lv_cat(b"mirelune list", APP_ID.encode())
        scalar = random_scalar()
        share = ristretto_mul(scalar, cpace_generator(password_bytes(password), ci, nonce))
        query += bytes([1]) + share
    else:
        query += bytes([0])
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    sock.bind(("127.0.0.1", 0))
    sock.sendto(query.ljust(1024, b"\0"), ("127.255.255.255", discovery_port))
    rooms, deadline = [], time.monotonic() + 1.0
    while time.monotonic() < deadline:
        sock.settimeout(0.15)
        try:
            data = sock.recv(4096)
        except socket.timeout:
            break
        r = Reader(data)
        magic, version = r.take(4), r.u8()
        if version != 3 or r.take(16) != nonce:
            continue
        if magic == b"MLDA":
            instance, app, name, port = r.take(16), r.string(), r.string(), r.u16()
            attribute, flags, members = r.i32(), r.u8(), r.u32()
            if app == APP_ID and flags & 2:
                rooms.append((name, port, members, False))
        elif magic == b"MLDS" and password is not None and len(data) == 865:
            room_share = r.take(32)
            k = ristretto_mul(scalar, room_share)
            if k is None:
                continue
            isk = cpace_isk(nonce, k, share, b"", room_share, b"")
            key = sha512(b"mirelune listing answer" + isk)[:32]
            try:
                plain = nacl.bindings.crypto_aead_chacha20poly1305_ietf_decrypt(
                    r.take(812), None, b"\0" * 12, key)
            except nacl.exceptions.CryptoError:
                continue  # a room of another password
            d = Reader(plain)
            instance, port, attribute = d.take(16), d.u16(), d.i32()
            flags, members = d.u8(), d.u32()
            if flags & 2 and port:
                rooms.append((d.string(), port, members, True))
    sock.close()
    return rooms


# --- The host processes ------------------------------------------------------------------
class Host:
    def __init__(self, binary, room, discovery_port, password=None):
        self.folder = tempfile.TemporaryDirectory()
        args = [binary, "host", room, "--name", "受付", "--loopback-only",
                "--discovery-port", str(discovery_port), "--host-port", str(free_port())]
        if password:
            args += ["--password", password]
        env = dict(os.environ, XDG_CONFIG_HOME=self.folder.name, LANG="C.UTF-8")
        self.process = subprocess.Popen(args, env=env, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.out, self.err = queue.Queue(), queue.Queue()
        for stream, lines in ((self.process.stdout, self.out), (self.process.stderr, self.err)):
            def read(s=stream, q=lines):
                for line in s:
                    q.put(line.decode().rstrip("\n"))
            threading.Thread(target=read, daemon=True).start()
        self.port = int(self.wait(self.err, r"is open on port (\d+)").group(1))
        self.fingerprint = self.wait(self.err, r"fingerprint (\S+)").group(1)

    def wait(self, lines, pattern, seconds=5.0):
        deadline = time.monotonic() + seconds
        while True:
            try:
                line = lines.get(timeout=max(0.01, deadline - time.monotonic()))
            except queue.Empty:
                raise Failure(f"the host printed no line matching {pattern!r}")
            if match := re.search(pattern, line):
                return match

    def type(self, line):
        self.process.stdin.write((line + "\n").encode())
        self.process.stdin.flush()

    def stop(self):
        self.process.stdin.close()
        try:
            self.process.wait(timeout=3)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.folder.cleanup()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def step(text):
    print(f"ok: {text}", flush=True)


def main(binary):
    discovery_port = free_port()
    open_room = Host(binary, "広場", discovery_port)
    locked_room = Host(binary, "秘密の部屋", discovery_port, password="パスワード")
    try:
        c, room_name, me, roster = join(open_room.port, "花子")
        expect(fingerprint(c.room_key) == open_room.fingerprint, "the fingerprint differs")
        step(f"open room {room_name}: handshake, room proof of {fingerprint(c.room_key)}, "
             f"player {me}, roster {roster}")
        pump(c, lambda seen: c.delegated)
        step("delegation holds for my keys")
        send_chat(c, "こんにちは、外から")
        open_room.wait(open_room.out, "花子> こんにちは、外から")
        pump(c, lambda seen: c.acked >= 1)
        send_chat(c, "内緒です", receiver=roster[0][0])
        open_room.wait(open_room.out, r"花子> \(内緒です\)")
        pump(c, lambda seen: c.acked >= 2)
        step("public and private Send shown by the host and acknowledged")
        open_room.type("ようこそ")
        host_id = roster[0][0]
        pump(c, lambda seen: any(d[0] == host_id and d[3] == "ようこそ" for d in seen))
        step("Deliver of the host's line taken and acknowledged")
        blob = os.urandom(300_000)
        with tempfile.NamedTemporaryFile(suffix="の資料.bin") as offered:
            offered.write(blob)
            offered.flush()
            open_room.type(f"/send {offered.name}")
            pump(c, lambda seen: c.offers)
            sender, transfer, size, digest, name = c.offers[0]
            expect(size == len(blob) and name == os.path.basename(offered.name), f"offer {c.offers[0]}")
            want = bytes([WANT]) + u32(transfer) + u64(0) + u64(size) + bytes([0])
            c.send(frame(FILE_PART, i32(sender) + want))
            pump(c, lambda seen: len(c.files.get((sender, transfer), b"")) == size)
            got = bytes(c.files[(sender, transfer)])
            expect(got == blob and hashlib.blake2b(got, digest_size=32).hexdigest() == digest, "the file differs")
            c.send(frame(FILE_PART, i32(sender) + bytes([DONE]) + u32(transfer)))
            open_room.wait(open_room.out, f"花子 さんがファイル「{re.escape(name)}」を受け取りました")
        step(f"a file offered by the host: Want, {size} bytes in chunks, hash held, Done")
        pump(c, lambda seen: c.heartbeats >= 2)
        leave(c)
        open_room.wait(open_room.out, "^花子 [^>]*$")  # the host's notice of the leave
        step("stayed through heartbeats, left with Goodbye")
        c, *_ = join(open_room.port, "太郎")
        pump(c, lambda seen: c.history)
        said = [("花子", "こんにちは、外から"), ("受付", "ようこそ")]  # no private line
        expect([h[1:] for h in c.history] == said, f"history {c.history}")
        leave(c)
        step("a newcomer is given the history")

        c, room_name, me, roster = join(locked_room.port, "花子", password="パスワード")
        pump(c, lambda seen: c.delegated)
        send_chat(c, "合言葉で入りました")
        locked_room.wait(locked_room.out, "花子> 合言葉で入りました")
        leave(c)
        step(f"password room {room_name}: CPace, re-key, player {me}, chat")
        refusal = join(locked_room.port, "次郎", password="ぱすわーど")
        expect(refusal[0] == 3, f"a wrong password got {refusal}")
        step(f"a wrong password is refused: Reject {refusal[0]} {refusal[1]}")

        rooms = list_rooms(discovery_port)
        expect([r[:2] for r in rooms] == [("広場", open_room.port)], f"listed {rooms}")
        step(f"listing without a password: {rooms}")
        rooms = sorted(list_rooms(discovery_port, password="パスワード"))
        both = [("広場", open_room.port), ("秘密の部屋", locked_room.port)]
        expect([r[:2] for r in rooms] == both, f"listed {rooms}")
        step(f"listing with the password (sealed answer opened): {rooms}")
        rooms = list_rooms(discovery_port, password="ちがう")
        expect([r[0] for r in rooms] == ["広場"], f"listed {rooms}")
        step("listing with another password does not open the sealed answer")
    finally:
        open_room.stop()
        locked_room.stop()
    print("all steps work")


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    try:
        main(sys.argv[1])
    except (Failure, OSError, ValueError, nacl.exceptions.CryptoError) as failure:
        print(f"FAILED: {failure!r}")
        sys.exit(1)
