#include "Commands.h"

namespace dnm::tool {
namespace {

constexpr char kNeedsHttp[] = "--http ADDRESS:PORT";
constexpr char kNeedsMqtt[] = "--mqtt URL";

}  // namespace

const std::vector<Command>& AllCommands() {
  static const std::vector<Command> commands = {
      {"scan",
       "[--io] [--save FILE]",
       "Lists the MAC IDs that answer a duplicate MAC ID check, connects to each and\n"
       "reads its identity: vendor ID, device type, product code, revision, serial\n"
       "number and product name. Exits 1 when no device answers.\n"
       "  --io   also the I/O connections each device offers (poll, strobe,\n"
       "         cos/cyclic) with their produced (in) and consumed (out) sizes in\n"
       "         bytes, read from its Connection object instances\n"
       "  --save FILE   also writes the scan list of what answers to FILE, with each\n"
       "                device's identity and connection sizes, for dnm run FILE\n",
       {{"--io", 0}, {"--save", 1}},
       RunScan},
      {"get",
       "MAC CLASS INSTANCE ATTRIBUTE [--as u8|u16|u32|string|hex]",
       "Reads one attribute of a device (up to 255 bytes) and prints it.\n"
       "  --as FORM   u8, u16, u32 (little-endian unsigned), string (length byte and\n"
       "              characters) or hex bytes (the default)\n",
       {{"--as", 1}},
       RunGet},
      {"set",
       "MAC CLASS INSTANCE ATTRIBUTE VALUE [--as u8|u16|u32|string|hex]",
       "Writes one attribute of a device (1 to 255 bytes).\n"
       "  --as FORM   how VALUE is written: u8, u16, u32, string or hex bytes\n"
       "              (the default; \"0A0B\", \"0A 0B\" or \"0A:0B\")\n",
       {{"--as", 1}},
       RunSet},
      {"io",
       "MAC --poll IN OUT | --strobe IN | --cos IN OUT | --cyclic IN OUT [--write HEX] "
       "[--rate HZ] [--count N]",
       "Sets up one I/O connection with the device (sizes in bytes) and shows its\n"
       "inputs, status and counters: refreshed in place on a terminal, otherwise one\n"
       "line each time they change. Ends after --count samples or on Ctrl-C.\n"
       "  --poll IN OUT     poll connection (sizes up to 64)\n"
       "  --strobe IN       bit-strobe connection (input up to 8)\n"
       "  --cos IN OUT      change-of-state connection (heartbeat 2.5 s)\n"
       "  --cyclic IN OUT   cyclic connection (every 1 s)\n"
       "  --write HEX       outputs to send, OUT bytes\n"
       "  --rate HZ         samples per second, 1..1000 (default 10)\n"
       "  --count N         stop after N samples (default: run until interrupted)\n",
       {{"--poll", 2},
        {"--strobe", 1},
        {"--cos", 2},
        {"--cyclic", 2},
        {"--write", 1},
        {"--rate", 1},
        {"--count", 1}},
       RunIo},
      {"status",
       "[DEVICE...] [--file FILE]",
       "Adds the devices of a scan list, starts communication, waits up to the\n"
       "timeout for their connections and prints each connection's status and\n"
       "counters; for a polled device also the poll period asked for (100 ms) and\n"
       "the one achieved. Exits 1 when a connection does not stand.\n"
       "  DEVICE       MAC[:CONNECTION[,CONNECTION]...] with CONNECTION poll=IN/OUT,\n"
       "               strobe=IN, cos=IN/OUT or cyclic=IN/OUT; e.g. 3:poll=4/4 12\n"
       "  --file FILE  more devices, the same words separated by blanks or lines;\n"
       "               '#' starts a comment\n",
       {{"--file", 1}},
       RunStatus},
      {"faulted",
       "[--readdress VENDOR SERIAL NEWMAC]",
       "Takes ownership of the offline connection set and lists the faulted nodes\n"
       "(vendor ID, serial number), or gives one of them a new MAC ID and checks\n"
       "that it answers there with its vendor ID and serial number (exit 1 if not).\n"
       "  --readdress VENDOR SERIAL NEWMAC   the node's vendor ID and serial number,\n"
       "                                     and its new MAC ID (0..63)\n",
       {{"--readdress", 3}},
       RunFaulted},
      {"simulate",
       "NETWORK | --list",
       "Runs the network description's simulated segments and nodes (slaves, faulted\n"
       "nodes, owners, process nodes) as one process until Ctrl-C, and prints what it\n"
       "hosts and where other programs reach it: its shared segments (shared=PATH),\n"
       "to which dnm and applications attach with the same description, and its\n"
       "bridges to CAN interfaces (socketcan=IFACE). The slaves keep their state\n"
       "from one command to the next. It hosts every shared segment of the\n"
       "description, and ends with exit status 2 on any line the virtual card\n"
       "refuses, such as a segment another process hosts already (it names it).\n"
       "  --list   the simulators this user runs on this machine: process, network\n"
       "           description, segments and where they are reached\n",
       {{"--list", 0}},
       RunSimulate},
      {"monitor",
       "SOCKET|IFACE | --file CAPTURE [--node MAC[,MAC]] [--kind KIND[,KIND]] [--count N]",
       "Shows every frame of a bus, decoded: time, identifier and data, message\n"
       "group and ID, the MAC ID the identifier carries, and what the frame is.\n"
       "  SOCKET         a shared segment's socket path (shared=PATH)\n"
       "  IFACE          a SocketCAN interface (can0, vcan0)\n"
       "  --file CAPTURE a capture file of the virtual card or candump -L\n"
       "  --node MACS    only frames whose identifier carries one of these MAC IDs\n"
       "  --kind KINDS   only dupmac, explicit, poll, strobe, cos, offline or other\n"
       "  --count N      stop after N frames shown\n"
       "Frames lost on the way (a slow reader) and bad capture lines are said on stderr\n"
       "and make the exit status 1.\n",
       {{"--file", 1}, {"--node", 1}, {"--kind", 1}, {"--count", 1}},
       RunMonitor},
      {"run",
       "FILE [--modbus ADDRESS:PORT] [--http ADDRESS:PORT [--http-write]]\n"
       "    [--mqtt URL [--mqtt-prefix PREFIX] [--mqtt-min-interval MS] [--mqtt-write]\n"
       "     [--mqtt-cafile FILE] [--mqtt-cert FILE --mqtt-key FILE] [--mqtt-user NAME\n"
       "     --mqtt-password-file FILE]] [--print-map]",
       "Runs the scan list FILE as a standing scanner: brings its ports online,\n"
       "checks each device's identity, starts its connections and keeps them running\n"
       "until SIGINT or SIGTERM, when it stops every device and releases every\n"
       "connection. Prints one line per event (--json: one JSON document per line);\n"
       "SIGHUP reads FILE again and applies what changed. Exits 1 when a port cannot\n"
       "go online, 2 when FILE has a refused line.\n"
       "  --modbus ADDRESS:PORT   serves the process image over Modbus TCP (no\n"
       "                          authentication; \":PORT\" listens on 127.0.0.1 only)\n"
       "  --http ADDRESS:PORT     serves a live web page and a JSON API (\":PORT\"\n"
       "                          listens on 127.0.0.1 only)\n"
       "  --http-write            lets the page write outputs and attributes\n"
       "  --mqtt URL              publishes to the MQTT broker at mqtt://HOST:PORT or\n"
       "                          mqtts://HOST:PORT\n"
       "  --mqtt-prefix PREFIX    the topics' prefix (default dnm/HOST/B-P: the host name,\n"
       "                          board and port of FILE's first port line)\n"
       "  --mqtt-min-interval MS  the least time between two publications of a device's\n"
       "                          inputs, 10 to 60000 (default 100)\n"
       "  --mqtt-write            lets .../outputs/set write a device's outputs\n"
       "  --mqtt-cafile, --mqtt-cert, --mqtt-key FILE    mqtts: certificates\n"
       "  --mqtt-user NAME, --mqtt-password-file FILE    the broker's login\n"
       "  --print-map             prints the Modbus register map of FILE and exits\n",
       {{"--modbus", 1},
        {"--http", 1},
        {"--http-write", 0, kNeedsHttp},
        {"--mqtt", 1},
        {"--mqtt-prefix", 1, kNeedsMqtt},
        {"--mqtt-min-interval", 1, kNeedsMqtt},
        {"--mqtt-write", 0, kNeedsMqtt},
        {"--mqtt-cafile", 1, kNeedsMqtt},
        {"--mqtt-cert", 1, kNeedsMqtt},
        {"--mqtt-key", 1, kNeedsMqtt},
        {"--mqtt-user", 1, kNeedsMqtt},
        {"--mqtt-password-file", 1, kNeedsMqtt},
        {"--print-map", 0}},
       RunRun},
  };
  return commands;
}

bool UsesMasterLibrary(const Command& command) {
  return command.run != RunSimulate && command.run != RunMonitor;
}

void ExpectWords(const CommandLine& line, size_t count) {
  if (line.words.size() > count)
    throw UsageError("unexpected argument '" + line.words[count] + "'");
}

}  // namespace dnm::tool
