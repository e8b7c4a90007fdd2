// Every bound and fixed timing of the station in one place, with what it
// costs. Nothing a peer sends can make the station spend more than this.
#pragma once
#include <cstddef>
#include <cstdint>

namespace orvane::limits {

// ---- the station ----
inline constexpr int kChannels = 32;  // panels pnl_1 .. pnl_32: 32 value records
inline constexpr int kGridColumns = 15;  // sensor list columns 0..14
inline constexpr std::size_t kMemoLines = 200;  // memo keeps 200 before each add (201 shown): ~200 lines of text
inline constexpr int kClockTickMs = 250;  // clock resolution: 4 wake-ups a second while active
inline constexpr int kDefaultIntervalMs = 1000;  // sampling interval when a setting reads 0
// Shortest realtime period; a period below one second is taken as one second
// (a zero period would otherwise report without end, as fast as the loop runs).
inline constexpr int kMinRealtimePeriodS = 1;
// Longest realtime period: what the timer holds in milliseconds (about 24
// days); a longer one is refused.
inline constexpr std::int64_t kMaxRealtimePeriodS = 2147483647 / 1000;
// Realtime subscriptions on one connection, and on the station in all; a
// BEGIN_REALTIME beyond either fails as one with a bad number does. Each
// costs its share of a batch (about 1.5 KiB for 32 channels) per period, and
// its first batch at once: 300 subscriptions in one message would otherwise
// make 450 KiB of replies in one go, for a host that may never read them.
inline constexpr std::size_t kMaxRealtimePerConnection = 16;
inline constexpr std::size_t kMaxRealtimeSubscribers = 1024;

// ---- command server, per connection ----
// Worst case per connection: one message buffer (1 MiB) + its line index (4
// bytes per line, at most 4 MiB for a message made of STX bytes only) + the
// write queue (4 MiB) + the read buffer (64 KiB).
inline constexpr std::size_t kMaxMessageBytes = 1 << 20;  // one framed message: 1 MiB
inline constexpr std::size_t kMaxWriteQueueBytes = 4 << 20;  // replies not yet taken by the host: 4 MiB
inline constexpr std::size_t kReadChunkBytes = 64 << 10;  // one socket read: 64 KiB
// A framer keeps the capacity of its last message up to this size, so the
// usual small requests reuse it; a bigger buffer is released after use.
inline constexpr std::size_t kFramerKeepBytes = 64 << 10;
// Pause before accepting again after the accept itself failed (EMFILE,
// ENFILE, ENOBUFS): the loop waits on a timer instead of spinning.
inline constexpr int kAcceptRetryMs = 100;
// Hosts at once ([Connection] MaxHosts, default below). Each costs at most
// the per-connection worst case above (about 9 MiB, of which the message
// part is also bounded for all hosts together, below) and one descriptor.
// Connections beyond the cap are accepted and closed at once.
inline constexpr int kDefaultMaxHosts = 256;
// A host connection that completes no message and takes none of its
// replies for this long is closed: a trickle of bytes or a host that never
// reads can't keep a slot ([Connection] IdleSeconds, 0: never). A host
// polling once a minute on one connection keeps it. Checked every quarter
// of it, so a connection goes between 1 and 1.25 times this after its
// last sign of life; costs nothing while no host is connected.
inline constexpr int kDefaultIdleSeconds = 90;
inline constexpr int kMaxIdleSeconds = 86400;
// A host that has shut its side of the connection while replies still
// wait for it: once the kernel has taken none of them for this long, the
// connection is closed and its replies let go, whatever IdleSeconds says.
// A host that half-closes and reads takes them as they come; one that
// never reads would otherwise hold a slot and up to 4 MiB of replies until
// it counted as idle.
inline constexpr int kHostGoneDrainMs = 2000;
// Descriptors kept free for the station's own work whatever the hosts do:
// Event.Sav, Event.Snd, the day's log files, history and configuration
// files with their temporaries, the device line, the upload's control and
// data connections, the dial-up helper's pipes, the window's own. The cap on
// hosts is lowered so that the descriptors open at start plus the hosts plus
// this reserve stay within the process's limit (RLIMIT_NOFILE).
inline constexpr int kDescriptorReserve = 64;
// Bytes held for unfinished messages by all connections together (message
// text plus line index, as allocated). Beyond it the connection holding
// the largest unfinished message is dropped. 256 hosts each sending a
// 1 MiB message would otherwise hold well over 256 MiB.
inline constexpr std::size_t kMaxUnfinishedBytes = 64 << 20;
// Reply bytes queued for all connections together, not yet taken by the
// kernel (each connection's own bound is kMaxWriteQueueBytes). Past it the
// connection holding the most is given up, as a host over its own bound
// is: 256 hosts that never read would otherwise hold up to 1 GiB of
// replies. Eight hosts reading back a 4 MiB file each fit at once.
inline constexpr std::size_t kMaxQueuedReplyBytes = 32 << 20;
// Memory freed by closed connections goes back to the system (malloc_trim)
// once this much was freed and no host is left, or the larger amount while
// hosts remain; a trim costs about a walk over the free heap.
inline constexpr std::size_t kTrimAfterIdleBytes = 1 << 20;
inline constexpr std::size_t kTrimAfterBytes = 32 << 20;
// Allocations of at least this size are mapped on their own and unmapped
// when freed (one mmap/munmap pair each, for big messages and replies).
inline constexpr int kOwnMappingBytes = 128 << 10;
// A refused host (not on AllowHosts, or over the cap) costs one log line per
// address per minute; this many addresses are remembered for that (about
// 100 bytes each), after which older ones are forgotten.
inline constexpr int kRefusalLogSeconds = 60;
inline constexpr std::size_t kRefusalLogAddresses = 4096;

// ---- device line (I-7000 modules) ----
// One module read waits this long for its reply by default ([READ] Timeout),
// at most 10 s: a read cycle takes up to that per enabled analog module
// when modules don't answer.
inline constexpr int kModuleReadTimeoutMs = 200;
inline constexpr int kMaxModuleReadTimeoutMs = 10'000;
inline constexpr std::size_t kMaxDconReplyBytes = 256;  // a longer reply is refused (result string check error)

// ---- event path ----
// The event buffer (Event.Sav) has no bound of its own: it is bounded by the
// disk. When the disk is full an event can't be added durably; it is refused
// ("Error : " in the log), the file is cut back to its last whole line and
// the event is tried again at the next check, so nothing is lost or torn.
// Lines named and journalled (Event.Snd) ahead of their stores: 256 names.
inline constexpr std::size_t kDeliveryBatchLines = 256;
// Time one upload may take on the worker before it stops (the rest waits
// for the next event check): 30 s over the LAN, 10 min over dial-up.
inline constexpr int kLanUploadBudgetMs = 30000;
inline constexpr int kDialUpUploadBudgetMs = 600000;
// FTP: TCP connect, each server reply, one whole operation.
inline constexpr int kFtpConnectTimeoutMs = 3000;
inline constexpr int kFtpResponseTimeoutMs = 3000;
inline constexpr int kFtpTransferTimeoutMs = 5000;
// A fleet's upload sessions, shared by all its stations: each a thread (its
// stack, 8 MiB reserved) and, while it uploads, one FTP control connection
// and one data connection: 16 sessions hold at most 32 descriptors.
inline constexpr std::size_t kUploadPoolSessions = 16;
// Dial-up: rounds of one second waiting for the link (and its ping of 1 s),
// and rounds the dialler may stay in authentication before giving up.
inline constexpr int kDialConfirmRounds = 60;
inline constexpr int kDialAuthenticationRounds = 10;
inline constexpr int kDialPingTimeoutMs = 1000;

// ---- event log viewer (window) ----
inline constexpr std::size_t kViewerBatchLines = 1 << 15;  // lines handed to the view at a time: 32 Ki lines
inline constexpr std::size_t kViewerReadBlockBytes = 1 << 20;  // one read of the log file: 1 MiB
inline constexpr int kViewerMaxLineBytes = 8192;  // a longer line is shown cut

// ---- HTTP endpoint (metrics, health, control API) ----
// Connections at once; more wait in the listen backlog, and the station
// never hears of them. Each costs a descriptor and at most twice
// kHttpRequestBytes (the library's buffer for the request line and headers,
// and the body kept for the router): 64 connections hold 8 MiB at worst.
inline constexpr unsigned kHttpMaxConnections = 64;
// The request line with its headers, and apart from them the body: 64 KiB
// each. Longer headers are refused by the library (431), a longer body gets
// 413.
inline constexpr std::size_t kHttpRequestBytes = 64 << 10;
// A connection that sends nothing for this long is closed: a slow client
// holds its place 10 s at most.
inline constexpr unsigned kHttpRequestTimeoutS = 10;
// The endpoint's own threads, each an 8 MiB stack reserved; none is the
// station's.
inline constexpr unsigned kHttpThreads = 2;
// Their scheduling weight below the station threads' (nice 10: about a
// tenth of a core's share when both want it), so a flood of requests takes
// what the stations leave rather than delaying them.
inline constexpr int kHttpThreadNice = 10;
// How often the station thread copies its state for the endpoint (only when
// the endpoint is on): a snapshot of 32 channels and the memo's last lines,
// about 10 KiB, four times a second.
inline constexpr int kHttpPublishMs = 250;
// A control call the station has not answered in this long gets 503; the
// action still runs when the station reaches it.
inline constexpr int kHttpActionTimeoutMs = 2000;
// /livez answers 503 once the station thread has not turned for this long
// (its last published snapshot is older).
inline constexpr int kHttpLivenessMs = 5000;
// The longest reply delay a module fault may give (a minute; the station's
// module time-out ends a read long before).
inline constexpr int kHttpMaxFaultDelayMs = 60000;
// The highest rate an injected slow uplink may be given, in bytes per
// second (the lowest is 1).
inline constexpr long kHttpMaxFaultBytesPerS = 1L << 30;
// The control API's list: stations on one page by default and at most.
inline constexpr std::size_t kHttpListDefault = 100;
inline constexpr std::size_t kHttpListMax = 1000;
// A glob of the list or of a selection: matching costs up to its length
// times a name's for each station, so it is kept short (400 above).
inline constexpr std::size_t kHttpGlobBytes = 256;
// A fleet's station thread publishes a quarter of its stations' views each
// kHttpPublishMs, so each station's view is at most a second old: 10 000
// stations make 10 000 views a second (a few ms each thousand), not 40 000.
inline constexpr int kFleetPublishParts = 4;
// Memo lines in a station's JSON state.
inline constexpr std::size_t kHttpMemoLines = 20;
// ---- long messages ----
// A long message is worked on in slices, with the loop's other work (other
// hosts, the station's timers) between them: a slice ends after this many
// command lines or this much time, whichever comes first. A 1 MiB message
// thus holds the station at most a few milliseconds at a time. Cost: a copy
// of the message's remaining lines (at most kMaxMessageBytes plus its line
// index) while it is worked on, counted with its connection's unfinished
// bytes (kMaxUnfinishedBytes), and nothing read from that host meanwhile.
inline constexpr std::size_t kLinesPerSlice = 256;
inline constexpr int kSliceMicroseconds = 2000;
// Files SCFG replaced, kept in memory until the message's end (or until
// this many are kept) and then written together with one flush, this many
// written or renamed per turn of the loop.
inline constexpr std::size_t kMaxPendingFiles = 1024;
inline constexpr std::size_t kFilesWrittenPerTurn = 32;
// Replies held for those files: this many bytes (or half what the host may
// still take) and the files are written, the replies sent.
inline constexpr std::size_t kHeldReplyBytes = 1 << 20;

// The bearer token file: read once at start, at most 4 KiB.
inline constexpr std::size_t kHttpTokenFileBytes = 4096;

// ---- scenarios (--scenario, --replay, POST /api/v1/scenario) ----
// A scenario file is read whole: at most 1 MiB and 10 000 steps (a POSTed
// one is bounded by kHttpRequestBytes first). A replay file: at most 8 MiB
// and 100 000 rows in a scenario; a row is kept as a step of about 120
// bytes, 12 MiB at most.
inline constexpr std::size_t kScenarioFileBytes = 1 << 20;
inline constexpr std::size_t kScenarioSteps = 10000;
inline constexpr std::size_t kReplayFileBytes = 8 << 20;
inline constexpr std::size_t kReplayRows = 100000;
// A step's time from the start: 30 days at most.
inline constexpr double kScenarioMaxSeconds = 30.0 * 86400;
// A replay's speed: 1/1000 .. 1000 times as fast as recorded.
inline constexpr double kReplayMaxSpeed = 1000;

// ---- headless operator-log output ----
// Headless operator-log output: lines waiting for a stdout that doesn't take
// them (a stalled reader) are held up to 256 KiB; later lines are counted and
// dropped from stdout (never from the memo) until it takes them again.
inline constexpr std::size_t kStdoutBufferBytes = 256 << 10;

// ---- operator log ----
// The same operator log line at most this often per message, then once as
// "<line> (N more)" at its end: a 1 MiB message of empty lines costs a few
// lines instead of two million (52 MB on stdout headless). Memory: one
// counter per distinct line of the message.
inline constexpr std::uint64_t kRepeatedLogLines = 3;

}  // namespace orvane::limits
