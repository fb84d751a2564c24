#include <cstdio>

#include "options.h"

namespace sim {

void printUsage() {
    std::fputs(
        R"(quilvane-sim: plays CAN interface devices against the QUILVANE library.

Modes (exactly one):
  --tcp-listen ADDR:PORT    TCP server; the library connects. PORT 0 picks a free
                            port, shown on the ready line.
  --tcp-connect ADDR:PORT   TCP client to the library's server; retries until the
                            server is there or the run ends.
  --connections N           TCP: clients to accept / connections to make (1).
  --udp ADDR:PORT           UDP; sends to --peer, else to the last sender.
  --peer ADDR:PORT          UDP destination.
  --respond KIND[,KIND...]  answer searches and probes (see --reply-to); kinds:
                            search-json, search-pelix (UDP port 10550),
                            probe-pelix (10551), probe-vci (58121).

Traffic (TCP and UDP modes):
  --echo                    send every received frame back.
  --generate COUNT          send COUNT frames on each connection. Frame s has
                            timestamp s, id FIRST + s % (LAST-FIRST+1), flags
                            s & 0xFFFF, channel CHANNELS[s % n], the data length
                            L (at most 8 in classic records), data[i] = (s+i) & 0xFF.
  --rate FRAMES_PER_S       pace of --generate per connection (0 = at once, default).
  --channels C[,C...]       channels used in turn (0).
  --ids FIRST[-LAST]        identifier range (0x100-0x1FF).
  --record classic|fd|mixed records of 24 bytes (type 0), 80 bytes (type 1), or
                            packets alternating between them (fd). Also for --echo.
  --records-per-packet K    frames per packet, 1 to 819 (1).
  --data-length L           data bytes per frame, 0 to 64 (8).
  --fault F                 cut, byte-at-a-time, bad-checksum, bad-sync, reset,
                            close, flood or none; see below.
  --fault-at K              the packet, counted from 1, that bad-checksum,
                            bad-sync, reset, close and flood act on (1).
  --seed S                  random cut points of --fault cut (1).
  Faults: cut writes each packet in 2 to 4 pieces; byte-at-a-time writes each
  byte alone; bad-checksum spoils packet K's checksum; bad-sync gives packet K
  sync byte 0xAA with a matching checksum; reset writes half of packet K and
  resets the connection; close closes after packet K; flood writes 1 MiB + 1
  bytes that never decode before packet K, then pauses 300 ms. reset and close
  need a TCP mode. Frames of a spoiled packet do not count as sent.

Bounds (the run always ends by itself):
  --duration SECONDS        longest run (10).
  --count N                 stop once N frames were sent in all.
  --expect N                stop once N frames were received in all; exit
                            status 1 if the run ends without them.
  --idle-ms MS              stop after MS without input, once input came.
  A run that only generates ends when every connection has sent its frames.
  Ctrl-C and SIGTERM end the run with the summary.

Responders:
  --bind ADDR               address of the responder sockets (0.0.0.0).
  --device IFNAME           answer only requests that arrive on this interface.
  --search-port P, --pelix-port P, --vci-port P
                            override 10550, 10551, 58121 (0 = any free port).
  --device-id HEX12         this device's 6-byte identifier (001A2B3C4D5E).
  --model, --kernel-version, --software-version, --hardware-version, --serial,
  --name, --ipv4, --mac TEXT
                            values of ProMod, KerVers, SoftVers, HardVers,
                            SerialNum, ProName, IPv4 ("198.51.100.2") and MAC
                            ("0.26.43.60.77.94") in the JSON reply.
  --pelix-hex HEX50         bytes 4 to 28 of the PELIX record (default: the
                            device id, then 01 02 ... 13).
  --reply-fault F           wrong-id, bad-crc, bad-xor, short (VCI reply of 19
                            bytes, PELIX record of 28), malformed-json,
                            oversized-json (JSON text padded to 1024 bytes), none.
  --reply-count K           send each reply K times (1).
  --reply-delay-ms MS       wait before replying (0).
  --reply-to unicast|subnet-broadcast|broadcast
                            where replies go, always to the request's source
                            port: its source address (unicast, default), the
                            broadcast address of the interface it came in on,
                            or 255.255.255.255 out of that interface. An
                            interface without a broadcast address (loopback)
                            gets no broadcast reply, only a line on stderr.

Output:
  stdout: "ready MODE ADDRESS..." once the sockets are up, and at the end
  "summary sent_frames=.. sent_packets=.. received_frames=.. received_packets=..
  bad_packets=.. connections=.. replies=.." (responders count requests as
  received_packets).
  --verbose                 each received frame on stderr, candump log style.
  --help                    this text.
  Exit status: 0, 1 when sockets cannot be set up or --expect was missed,
  2 for bad options.

Examples:
  quilvane-sim --tcp-listen 127.0.0.1:0 --generate 1000 --rate 500 --channels 0,1
  quilvane-sim --tcp-connect 127.0.0.1:8000 --connections 4 --echo --duration 5
  quilvane-sim --udp 127.0.0.1:9001 --peer 127.0.0.1:9000 --generate 100 --record mixed
  quilvane-sim --tcp-listen 127.0.0.1:0 --generate 50 --fault bad-checksum --fault-at 10
  quilvane-sim --respond search-json,probe-vci --bind 127.0.0.1 --device-id 000000000000
)",
        stdout);
}

}  // namespace sim
