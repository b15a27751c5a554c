// Recognition and the byte trace, per message length.
#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <string>

#include "events/ipc_events.h"
#include "trace/trace.h"

namespace {

std::string message(size_t len)
{
	std::string m("\x04\0\0\0\x02\0\0\0\x04\x60\x04\x60\0\0\0\0", 16);
	m.resize(len, '\xa5');
	return m;
}

// What the service does with each message before the sends: match it and
// format its byte line.
void match_and_format(benchmark::State &state)
{
	std::string m = message(static_cast<size_t>(state.range(0)));
	const auto *bytes = reinterpret_cast<const unsigned char *>(m.data());
	ipc_buf<IPC_BYTE_LINE_SIZE> line;
	for (auto _ : state) {
		const ipc_event *event = ipc_match_event(bytes, m.size());
		line.len = 0;
		ipc_put_bytes(line, bytes, m.size());
		benchmark::DoNotOptimize(event);
		benchmark::DoNotOptimize(line.len);
		benchmark::ClobberMemory();
	}
	state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(match_and_format)->Arg(0)->Arg(16)->Arg(512);

// parse_message whole and its trace written to /dev/null, no subscriber open.
void parse_message_traced(benchmark::State &state)
{
	std::string m = message(static_cast<size_t>(state.range(0)));
	int saved = dup(STDERR_FILENO);
	int null = open("/dev/null", O_WRONLY);
	dup2(null, STDERR_FILENO);
	for (int &q : ipc_mq)
		q = -1;
	ipc_prepare_fanout();
	for (auto _ : state) {
		benchmark::DoNotOptimize(parse_message(m.data(), static_cast<unsigned>(m.size())));
		ipc_trace_flush();
	}
	dup2(saved, STDERR_FILENO);
	close(saved);
	close(null);
	state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(parse_message_traced)->Arg(0)->Arg(16)->Arg(512);

} // namespace

BENCHMARK_MAIN();
