// The scenario language and the transcript format.
#include <cstdio>
#include <fstream>
#include <sstream>

#include <unistd.h>

#include "host.h"

using namespace host;

class Scenario : public EmuTest {
  protected:
    // Loads a scenario that must fail; returns the error text.
    std::string fails(const std::string& s) {
        EXPECT_EQ(emu::load_scenario(s), -1) << s;
        hid_device_info* l = hid_enumerate(0, 0);
        EXPECT_EQ(l, nullptr) << "devices left after a failed scenario";
        hid_free_enumeration(l);
        return emu::last_error();
    }
};

TEST_F(Scenario, ErrorsNameTheLineAndLeaveNoDevices) {
    load("device ok 0x0204\n");
    EXPECT_EQ(fails("device a 0x0204\n  bogus 1\n"), "line 2: unknown statement 'bogus'");
    EXPECT_EQ(fails("# comment\n\nserial X\n"), "line 3: 'serial' outside a device block");
    EXPECT_EQ(fails("device a 0x0204\ndevice a 0x0202\n"), "line 2: device 'a' defined twice");
    EXPECT_EQ(fails("device a\n"), "device 'a' has no product");
    EXPECT_EQ(fails("device a 0x0204\n  param K \"open\n"), "line 2: unterminated quote");
    EXPECT_EQ(fails("device a 0x0204\n  fn 504 out x:123\n"),
              "line 2: odd number of hex digits in 'x:123'");
    EXPECT_EQ(fails("device a 0x0204\n  status 1 banana\n"), "line 2: bad sequence item 'banana'");
    EXPECT_EQ(fails("device a 0x0204\nat 1 unplug nobody\n"), "at: no device 'nobody'");
    EXPECT_EQ(fails("device a 0x0204\n  latency -3\n"), "line 2: expected milliseconds at '-3'");
    EXPECT_EQ(fails("device a 0x0204\n  interface 1 2\n"), "line 2: unexpected '2'");
    EXPECT_EQ(fails("device a 0x0204\n  fn 70000 result 1\n"),
              "line 2: expected function code at '70000'");
}

TEST_F(Scenario, FileLoadingResolvesRelativeFiles) {
    char dir[] = "/tmp/emu-scn-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string d = dir;
    std::ofstream(d + "/blob.bin", std::ios::binary) << std::string("\x01\x02\x03", 3);
    std::ofstream(d + "/s.scn") << "device r 0x0204\n  config_blob file:blob.bin\n";
    ASSERT_EQ(emu::load_scenario_file((d + "/s.scn").c_str()), 0) << emu::last_error();
    hid_device* h = open("r");
    EXPECT_EQ(ctl(h, 503, {}, 100).out, (Bytes{1, 2, 3}));
    EXPECT_EQ(emu::load_scenario_file((d + "/missing.scn").c_str()), -1);
    std::remove((d + "/blob.bin").c_str());
    std::remove((d + "/s.scn").c_str());
    rmdir(dir);
}

TEST_F(Scenario, ByteValueForms) {
    load("device r 0x0204\n"
         "  fn 1 out \"ab\"\n  fn 2 out r\"ab\"\n  fn 3 out x:0a.0b,FF\n  fn 4 out rep:3:7e\n"
         "  fn 5 out \"q\\\"\\n\\t\\0\\x41\\\\\"\n  fn 6 out word\n  fn 7 out x:\n");
    hid_device* h = open("r");
    EXPECT_EQ(ctl(h, 1).out, (Bytes{'a', 'b', 0}));
    EXPECT_EQ(ctl(h, 2).out, (Bytes{'a', 'b'}));
    EXPECT_EQ(ctl(h, 3).out, (Bytes{0x0A, 0x0B, 0xFF}));
    EXPECT_EQ(ctl(h, 4).out, (Bytes{0x7E, 0x7E, 0x7E}));
    EXPECT_EQ(ctl(h, 5).out, (Bytes{'q', '"', '\n', '\t', 0, 'A', '\\', 0}));
    EXPECT_EQ(ctl(h, 6).out, (Bytes{'w', 'o', 'r', 'd', 0}));
    Ctl c = ctl(h, 7);
    EXPECT_EQ(c.out_len, 0);
}

TEST_F(Scenario, CommandsAtRuntime) {
    load("device r 0x0204\n");
    hid_device* h = open("r");
    EXPECT_EQ(emu::command("param r SOUND 1"), 0);
    EXPECT_EQ(emu::param("r", "SOUND"), "1");
    EXPECT_EQ(emu::command("with r fn 13 out \"busy\""), 0);
    EXPECT_EQ(ctl(h, 13).out, text("busy"));
    EXPECT_EQ(emu::command("event r 1 \"99\" carddata \"D\""), 0);
    EXPECT_EQ(recv(h), cb_request(1, 3));
    EXPECT_EQ(emu::command("explode r"), -1);
    EXPECT_EQ(emu::command("unplug nobody"), -1);
    EXPECT_EQ(emu::command("unplug r"), 0);
    EXPECT_FALSE(emu::present("r"));
}

TEST_F(Scenario, TimedWithStatement) {
    load("device r 0x0204\nat 0.05 with r status 4\n");
    hid_device* h = open("r");
    EXPECT_EQ(ctl(h, 2107, {}, 4).out, (Bytes{0, 0, 0, 1}));
    sleep_ms(70);
    EXPECT_EQ(ctl(h, 2107, {}, 4).out, (Bytes{0, 0, 0, 4}));
}

TEST_F(Scenario, TranscriptFormat) {
    load("device r 0x0204\n  port 1-3\n");
    hid_device* h = open("r");
    ctl(h, 504, text("SOUND"));
    emu::send_event("r", 4, Bytes{});
    recv(h);
    send(h, header(T_CB_ACK));
    send(h, header(T_CB_DONE));
    send(h, report({0x05, 1, 2, 3, 4, 5}));
    std::istringstream in(emu::transcript_text());
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "# brinlet-emu transcript 1");
    std::vector<std::string> kinds;
    std::string exchange, callback, note, first_report;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string kind, dev, ms;
        f >> kind >> dev >> ms;
        EXPECT_EQ(dev, "r");
        EXPECT_NE(ms.find('.'), std::string::npos);
        kinds.push_back(kind);
        if (kind == "exchange") exchange = line.substr(line.find(ms) + ms.size() + 1);
        if (kind == "callback") callback = line.substr(line.find(ms) + ms.size() + 1);
        if (kind == "note") note = line.substr(line.find(ms) + ms.size() + 1);
        if (kind == "report" && first_report.empty()) first_report = line;
    }
    EXPECT_EQ(kinds.front(), "event");
    EXPECT_EQ(exchange, "fn=504 cap=256 in_len=6 result=0 out_len=2 outcome=fetched "
                        "in=534f554e4400 out=3000");
    EXPECT_EQ(callback, "code=4 len=0 in_place=0 outcome=done value=0 data=");
    EXPECT_EQ(note, "data packet of 5 bytes ignored in state idle");
    EXPECT_NE(first_report.find(" to_device 8b0100000006"), std::string::npos);
    EXPECT_EQ(first_report.size() - first_report.find("8b01"), 128u);
    EXPECT_NE(emu::transcript_text().find("event r 0.000 plug product=0x0204 interface=1 "
                                          "path=1-3:1.1 reason=start"),
              std::string::npos);
}

TEST_F(Scenario, ReportsCanBeLeftOutOfTheTranscript) {
    load("option transcript_reports off\ndevice r 0x0204\n");
    hid_device* h = open("r");
    ctl(h, 562, {}, 0);
    EXPECT_TRUE(emu::reports("r").empty());
    EXPECT_EQ(emu::exchanges("r").size(), 1u);
}

TEST_F(Scenario, WriteTranscriptFile) {
    load("device r 0x0204\n");
    ctl(open("r"), 562, {}, 0);
    char path[] = "/tmp/emu-tr-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    ASSERT_EQ(emu::write_transcript(path), 0);
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    EXPECT_EQ(s.str(), emu::transcript_text());
    std::remove(path);
}

TEST_F(Scenario, NonReaderVendorDevicesSpeakNoProtocol) {
    load("device m 0x0204\n  vendor 0x1234\ndevice p 0x0204\n  plain\n");
    hid_device* m = open("m");
    hid_device* p = open("p");
    send(m, request(562, 0, 0));
    send(p, request(562, 0, 0));
    EXPECT_TRUE(recv(m, 20).empty());
    EXPECT_TRUE(recv(p, 20).empty());
    EXPECT_EQ(emu::reports("m").size(), 1u);
}

TEST_F(Scenario, TranscriptParser) {
    load("device r 0x0204\n");
    hid_device* h = open("r");
    ctl(h, 504, text("SOUND"));
    send(h, report({0x05, 1, 2, 3, 4, 5}));
    auto lines = emu::parse_transcript(emu::transcript_text());
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ(lines[0].kind, "event");
    EXPECT_EQ(lines[0].fields.at("product"), "0x0204");
    EXPECT_EQ(lines[1].kind, "report");
    EXPECT_EQ(lines[1].fields.at("dir"), "to_device");
    EXPECT_EQ(lines[1].fields.at("bytes").substr(0, 22), "8b010000000601f8000001");
    const emu::TranscriptLine* x = nullptr;
    for (auto& l : lines)
        if (l.kind == "exchange") x = &l;
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(x->device, "r");
    EXPECT_EQ(x->fields.at("fn"), "504");
    EXPECT_EQ(x->fields.at("outcome"), "fetched");
    EXPECT_EQ(x->fields.at("out"), "3000");
    EXPECT_EQ(lines.back().kind, "note");
    EXPECT_EQ(lines.back().rest, "data packet of 5 bytes ignored in state idle");
}
