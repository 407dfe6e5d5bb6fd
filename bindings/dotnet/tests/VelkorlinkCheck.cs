// VelkorlinkCheck: the C# binding's checks against the library.
//   layout   prints every record's size and field offsets as the marshaller lays them out
//   exports  prints the symbol of every export Native binds (and resolves each one)
//   test     the committed vectors and bad input; exits 1 on any failure
using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Text;
using Velkorlink;

static class Json
{
    // A reader for the vectors file: objects, arrays, strings, integers, booleans and null.
    public static object Parse(string text)
    {
        int at = 0;
        object value = Value(text, ref at);
        Space(text, ref at);
        if (at != text.Length)
            throw new FormatException("trailing text at " + at);
        return value;
    }

    static void Space(string s, ref int at)
    {
        while (at < s.Length && char.IsWhiteSpace(s[at]))
            ++at;
    }

    static object Value(string s, ref int at)
    {
        Space(s, ref at);
        char c = s[at];
        if (c == '{')
        {
            var members = new Dictionary<string, object>();
            ++at;
            Space(s, ref at);
            if (s[at] == '}') { ++at; return members; }
            while (true)
            {
                Space(s, ref at);
                string name = (string)Value(s, ref at);
                Space(s, ref at);
                Expect(s, ref at, ':');
                members[name] = Value(s, ref at);
                Space(s, ref at);
                if (s[at++] == '}') return members;
            }
        }
        if (c == '[')
        {
            var items = new List<object>();
            ++at;
            Space(s, ref at);
            if (s[at] == ']') { ++at; return items; }
            while (true)
            {
                items.Add(Value(s, ref at));
                Space(s, ref at);
                if (s[at++] == ']') return items;
            }
        }
        if (c == '"')
        {
            var text = new StringBuilder();
            for (++at; s[at] != '"'; ++at)
            {
                if (s[at] == '\\')
                {
                    char e = s[++at];
                    if (e == 'u') { text.Append((char)Convert.ToInt32(s.Substring(at + 1, 4), 16)); at += 4; }
                    else text.Append(e == 'n' ? '\n' : e == 't' ? '\t' : e);
                }
                else text.Append(s[at]);
            }
            ++at;
            return text.ToString();
        }
        foreach (var word in new[] { "true", "false", "null" })
            if (string.CompareOrdinal(s, at, word, 0, word.Length) == 0)
            {
                at += word.Length;
                return word == "null" ? null : (object)(word == "true");
            }
        int start = at;
        while (at < s.Length && (char.IsDigit(s[at]) || s[at] == '-'))
            ++at;
        return long.Parse(s.Substring(start, at - start));
    }

    static void Expect(string s, ref int at, char c)
    {
        if (s[at++] != c)
            throw new FormatException("expected " + c + " at " + (at - 1));
    }
}

static class Check
{
    static readonly Type[] Records = { typeof(CardRecord), typeof(MultiCardGroup), typeof(WorkTimePeriod),
                                       typeof(WorkTimeSchedule), typeof(EventRecord), typeof(ModeBlock),
                                       typeof(FingerDataRecord) };
    static int failures;
    static string current = "";

    static IEnumerable<FieldInfo> Fields(Type t)
    {
        return t.GetFields(BindingFlags.Public | BindingFlags.Instance).OrderBy(f => f.MetadataToken);
    }

    static void Layout()
    {
        foreach (var t in Records)
        {
            Console.WriteLine("{0} size {1}", t.Name, Marshal.SizeOf(t));
            foreach (var f in Fields(t))
                Console.WriteLine("{0}.{1} {2}", t.Name, f.Name, Marshal.OffsetOf(t, f.Name).ToInt64());
        }
    }

    static int Exports()
    {
        foreach (var m in typeof(Native).GetMethods(BindingFlags.Public | BindingFlags.Static))
        {
            var import = (DllImportAttribute)m.GetCustomAttributes(typeof(DllImportAttribute), false).FirstOrDefault();
            if (import == null)
                continue;
            if (import.CallingConvention != CallingConvention.Cdecl)
            {
                Console.Error.WriteLine("{0} is not cdecl", m.Name);
                return 1;
            }
            Marshal.Prelink(m);  // throws EntryPointNotFoundException for a symbol the library lacks
            Console.WriteLine(import.EntryPoint);
        }
        return 0;
    }

    // ---- Test helpers ----

    static void Expect(bool ok, string what)
    {
        if (!ok)
        {
            ++failures;
            Console.WriteLine("FAIL {0}: {1}", current, what);
        }
    }

    static void Same(object expected, object actual, string what)
    {
        string e = Show(expected), a = Show(actual);
        Expect(e == a, what + "\n  expected " + e + "\n  got      " + a);
    }

    // One text for every value, so that JSON numbers (long) compare with bytes and shorts.
    static string Show(object value)
    {
        if (value == null) return "null";
        if (value is string) return "\"" + value + "\"";
        if (value is bool) return (bool)value ? "true" : "false";
        var members = value as Dictionary<string, object>;
        if (members != null)
            return "{" + string.Join(",", members.OrderBy(m => m.Key, StringComparer.Ordinal)
                                                 .Select(m => m.Key + ":" + Show(m.Value))) + "}";
        if (value is System.Collections.IEnumerable)
            return "[" + string.Join(",", ((System.Collections.IEnumerable)value).Cast<object>().Select(Show)) + "]";
        return Convert.ToInt64(value).ToString();
    }

    static void Throws<T>(Action call, string what) where T : Exception
    {
        try
        {
            call();
            Expect(false, what + ": no exception");
        }
        catch (T) { }
        catch (Exception e)
        {
            Expect(false, what + ": " + e.GetType().Name + " " + e.Message);
        }
    }

    static Dictionary<string, object> Obj(object o) { return (Dictionary<string, object>)o; }
    static List<object> List(object o) { return (List<object>)o; }
    static int Int(object o) { return (int)(long)o; }
    static byte[] Bytes(string hex)
    {
        return hex.Split(new[] { ' ' }, StringSplitOptions.RemoveEmptyEntries).Select(h => Convert.ToByte(h, 16)).ToArray();
    }
    static string Hex(IEnumerable<byte> bytes) { return string.Join(" ", bytes.Select(b => b.ToString("X2"))); }

    static Dictionary<string, Dictionary<string, object>> vectors;

    static byte[] Prepared(string name, out int length)
    {
        var v = vectors[name];
        var data = Bytes((string)v["hex"]);
        var buffer = Link.NewBuffer(data);
        length = data.Length;
        Same(v["prepare"], Link.Prepare(buffer, length), "prepare of " + name);
        return buffer;
    }

    static Dictionary<string, object> Config(bool captured)
    {
        var r = Link.NetConfig();
        var c = new Dictionary<string, object>();
        if (captured) c["captured"] = r[39] == 0;
        c["lead"] = r[0];
        c["field4"] = Hex(r.Skip(1).Take(4));
        c["word1"] = r[5] | r[6] << 8;
        c["word2"] = r[7] | r[8] << 8;
        c["block30"] = Hex(r.Skip(9).Take(30));
        c["block20"] = Hex(r.Skip(40).Take(20));
        return c;
    }

    static void CompareCard(Dictionary<string, object> f, CardRecord c)
    {
        Same(f["cardNumber"], c.cardNumber, "cardNumber");
        Same(f["password"], c.password, "password");
        Same(new[] { f["year"], f["month"], f["day"], f["hour"], f["param"] },
             new object[] { c.year, c.month, c.day, c.hour, c.param }, "stamp and param");
        Same(new[] { f["flag0"], f["flag1"], f["flag2"], f["flag3"], f["flag4"], f["flag7"], f["flag6"] },
             new[] { c.flag0, c.flag1, c.flag2, c.flag3, c.flag4, c.flag7, c.flag6 }.Select(b => b != 0), "flags");
    }

    static void CompareGroup(Dictionary<string, object> f, MultiCardGroup g)
    {
        Same(new[] { f["groupNumber"], f["param1"], f["param2"] }, new[] { g.groupNumber, g.param1, g.param2 }, "group bytes");
        Same(f["cardNumbers"], g.cardNumbers, "cardNumbers");
        Same(new[] { f["enabled"], f["flag0"], f["flag1"], f["flag2"], f["flag3"], f["flag4"] },
             new[] { g.enabled, g.flag0, g.flag1, g.flag2, g.flag3, g.flag4 }.Select(b => b != 0), "group flags");
    }

    static object Periods(WorkTimeSchedule s)
    {
        return s.periods.Select(p => new[] { p.startHour, p.startMinute, p.endHour, p.endMinute }).ToArray();
    }

    static void Decode(Dictionary<string, object> v, byte[] buffer, int length)
    {
        var p = Obj(v["payload"]);
        switch ((string)v["family"])
        {
            case "events":
                Same(p["count"], buffer[26], "event count");
                var events = Link.GetEvents(buffer, length);
                var records = List(p["records"]);
                Same(records.Count, events.Count, "events decoded");
                for (int i = 0; i < Math.Min(records.Count, events.Count); ++i)
                {
                    var r = Obj(records[i]);
                    var e = events[i];
                    Same(r["kind"], e.kind, "kind");
                    if (r.ContainsKey("number")) Same(r["number"], e.number, "number");
                    if (r.ContainsKey("code")) Same(r["code"], e.code, "code");
                    Same(r["values"], e.Values, "values");
                    Same(r["cardNumber"], e.cardNumber, "event cardNumber");
                    Same(r["digits"], e.digits, "digits");
                }
                break;
            case "cards":
                var cards = Link.GetCards(buffer, length);
                Same(List(p["cards"]).Count, cards.Count, "cards decoded");
                for (int i = 0; i < cards.Count; ++i) CompareCard(Obj(List(p["cards"])[i]), cards[i]);
                break;
            case "groups":
                var groups = Link.GetGroups(buffer, length);
                Same(List(p["groups"]).Count, groups.Count, "groups decoded");
                for (int i = 0; i < groups.Count; ++i) CompareGroup(Obj(List(p["groups"])[i]), groups[i]);
                break;
            case "schedules":
                var schedules = Link.GetSchedules(buffer, length);
                Same(List(p["schedules"]).Count, schedules.Count, "schedules decoded");
                for (int i = 0; i < schedules.Count; ++i)
                {
                    var f = Obj(List(p["schedules"])[i]);
                    Same(new[] { f["param0"], f["param1"] }, new[] { schedules[i].param0, schedules[i].param1 }, "params");
                    Same(f["periods"], Periods(schedules[i]), "periods");
                }
                break;
            case "configuration":
                Same(p["configuration"], Config(true), "configuration");
                break;
            case "firmware":
                Same(p["firmware"], Link.FirmwareVersion(buffer), "firmware");
                Same(p["configuration"], Config(true), "configuration");
                break;
            case "voice-request":
                int count = buffer[25] | buffer[26] << 8;
                Same(p["count"], count, "voice count");
                Same(p["request"], Link.SoundRequest(buffer), "request word");
                Same(p["data"], Hex(buffer.Skip(29).Take(count)), "voice data");
                break;
            case "reader-mode":
                Same(p["mode"], Link.GetReaderMode(buffer), "reader mode");
                break;
            case "finger-mode":
                Same(p["mode"], Link.GetFingerMode(buffer), "finger mode");
                break;
            case "template-upload":
                var upload = Link.GetFingerData(buffer);
                Same(new[] { p["leadByte"], p["lowBits"] }, new[] { upload.leadByte, upload.lowBits }, "upload bytes");
                Same(p["template"], Hex(upload.templateData), "template");
                break;
            case "template-request":
                var request = Link.GetFingerData(buffer);
                Same(new[] { p["leadByte"], p["lowBits"], p["lowNibble"], p["number"] },
                     new object[] { request.leadByte, request.lowBits, request.lowNibble, request.number }, "request");
                break;
            case "finger-control-report":
                Same(p["report"], Link.FingerControlReport(buffer), "report");
                break;
            default:
                Expect(false, "no decoding for family " + v["family"]);
                break;
        }
    }

    static string RequestFor(Dictionary<string, object> v)
    {
        string family = (string)v["family"];
        var payload = v.ContainsKey("payload") ? Obj(v["payload"]) : new Dictionary<string, object>();
        if (family == "template") return "template-request";
        if (family == "voice-data") return "voice-request";
        if (Int(Obj(v["head"])["type"]) != 0) return family == "configuration" ? "configuration-current" : "poll";
        // Legacy: controller frames and the configuration follow a network module packet.
        if (payload.ContainsKey("configuration") || (string)v["name"] == "echo-module") return "configuration-legacy";
        return "events-legacy";
    }

    static byte Flag(Dictionary<string, object> f, string name) { return (bool)f[name] ? (byte)1 : (byte)0; }

    static int Send(Dictionary<string, object> v, byte[] b)
    {
        var p = v.ContainsKey("payload") ? Obj(v["payload"]) : null;
        switch ((string)v["family"])
        {
            case "cards":
                return Link.SendCards(b, List(p["cards"]).Select(o =>
                {
                    var f = Obj(o);
                    return new CardRecord
                    {
                        cardNumber = (long)f["cardNumber"], password = (string)f["password"], year = (short)Int(f["year"]),
                        month = (byte)Int(f["month"]), day = (byte)Int(f["day"]), hour = (byte)Int(f["hour"]),
                        param = (byte)Int(f["param"]), flag0 = Flag(f, "flag0"), flag1 = Flag(f, "flag1"),
                        flag2 = Flag(f, "flag2"), flag3 = Flag(f, "flag3"), flag4 = Flag(f, "flag4"),
                        flag7 = Flag(f, "flag7"), flag6 = Flag(f, "flag6"),
                    };
                }).ToList());
            case "groups":
                return Link.SendGroups(b, List(p["groups"]).Select(o =>
                {
                    var f = Obj(o);
                    var g = MultiCardGroup.Create((byte)Int(f["groupNumber"]));
                    g.param1 = (byte)Int(f["param1"]);
                    g.param2 = (byte)Int(f["param2"]);
                    g.cardNumbers = List(f["cardNumbers"]).Select(n => (long)n).ToArray();
                    g.enabled = Flag(f, "enabled");
                    g.flag0 = Flag(f, "flag0"); g.flag1 = Flag(f, "flag1"); g.flag2 = Flag(f, "flag2");
                    g.flag3 = Flag(f, "flag3"); g.flag4 = Flag(f, "flag4");
                    return g;
                }).ToList());
            case "schedules":
                return Link.SendSchedules(b, List(p["schedules"]).Select(o =>
                {
                    var f = Obj(o);
                    var s = WorkTimeSchedule.Create();
                    s.param0 = (byte)Int(f["param0"]);
                    s.param1 = (byte)Int(f["param1"]);
                    s.periods = List(f["periods"]).Select(x =>
                    {
                        var q = List(x).Select(n => (byte)Int(n)).ToArray();
                        return new WorkTimePeriod(q[0], q[1], q[2], q[3]);
                    }).ToArray();
                    return s;
                }).ToList());
            case "device-passwords": return Link.SendDevicePasswords(b, List(p["passwords"]).Cast<string>().ToList());
            case "finger-passwords": return Link.SendFingerPasswords(b, List(p["passwords"]).Cast<string>().ToList());
            case "configuration": return Link.SendNetConfig(b);
            case "read": return Link.SendReadCommand(b);
            case "echo": return Link.SendEcho(b);
            case "control":
                var a = List(p["arguments"]).Select(Int).ToArray();
                return Link.SendControl(b, Int(p["command"]), a[0], a[1], a[2]);
            case "extra-output": return Link.SendExOutput(b, Int(p["value"]));
            case "clock": return Link.SendTimer(b);
            case "reader-mode": return Link.SendReaderMode(b, List(p["mode"]).Select(n => (byte)Int(n)).ToArray());
            case "finger-mode": return Link.SendFingerMode(b, List(p["mode"]).Select(n => (byte)Int(n)).ToArray());
            case "finger-control": return Link.SendFingerControl(b, Int(p["selector"]), (uint)(long)p["number"], Int(p["command"]));
            case "template": return Link.SendFingerData(b, Bytes((string)p["template"]));
            case "voice-data": return Link.SendSoundData(b, Bytes((string)p["data"]));
        }
        Expect(false, "no Send wrapper for family " + v["family"]);
        return 0;
    }

    static int Bcd(byte b) { return (b >> 4) * 10 + (b & 0x0F); }

    static void Reply(Dictionary<string, object> v)
    {
        var expected = Bytes((string)v["hex"]);
        byte[] reply;
        if ((string)v["name"] == "reconnect")
        {
            var fresh = Link.NewBuffer();
            reply = fresh.Take(Link.Reconnect(fresh)).ToArray();
        }
        else
        {
            int length;
            var buffer = Prepared(RequestFor(v), out length);
            var before = DateTime.Now;
            reply = buffer.Take(Send(v, buffer)).ToArray();
            if ((string)v["family"] == "clock" && reply.Length == expected.Length)
            {
                // The vector pins the time bytes; the library writes the time of the call.
                bool legacy = Int(Obj(v["head"])["type"]) == 0;
                int[] at = legacy ? new[] { 89, 90, 91, 92, 93, 94 } : new[] { 34, 33, 32, 30, 29, 28 };
                int[] derived = legacy ? new[] { 99 } : new[] { 31 };
                var stamp = new DateTime(2000 + Bcd(reply[at[0]]), Bcd(reply[at[1]]), Bcd(reply[at[2]]),
                                         Bcd(reply[at[3]]), Bcd(reply[at[4]]), Bcd(reply[at[5]]));
                Expect(Math.Abs((stamp - before).TotalSeconds) < 120, "clock time " + stamp);
                foreach (int i in at.Concat(derived))
                    reply[i] = expected[i];
            }
        }
        Same(Hex(expected), Hex(reply), "reply bytes");
    }

    static void BadInput()
    {
        current = "bad input";
        int length;
        Func<byte[]> poll = () => Prepared("poll", out length);
        var card = new CardRecord { cardNumber = 1, password = "1234" };
        Throws<ArgumentNullException>(() => Link.Prepare(null, 0), "null packet");
        Throws<ArgumentException>(() => Link.Prepare(new byte[40], 26), "short buffer");
        Throws<ArgumentOutOfRangeException>(() => Link.Prepare(new byte[200], 201), "length beyond the buffer");
        Throws<ArgumentOutOfRangeException>(() => Link.Prepare(new byte[200], -1), "negative length");
        Throws<ArgumentException>(() => Link.SendCards(new byte[200], Enumerable.Repeat(card, 20).ToList()), "buffer short of 20 cards");
        Throws<ArgumentException>(() => Link.SendCards(poll(), Enumerable.Repeat(card, 89).ToList()), "89 cards");
        Throws<ArgumentNullException>(() => Link.SendCards(poll(), null), "no card list");
        Throws<ArgumentException>(() => Link.SendCards(poll(), new[] { new CardRecord { password = "12a4" } }), "card password with a letter");
        Throws<ArgumentException>(() => Link.SendGroups(poll(), Enumerable.Repeat(MultiCardGroup.Create(1), 33).ToList()), "33 groups");
        Throws<ArgumentException>(() => Link.SendGroups(poll(), new[] { new MultiCardGroup() }), "group without card slots");
        Throws<ArgumentException>(() => Link.SendSchedules(poll(), Enumerable.Repeat(WorkTimeSchedule.Create(), 17).ToList()), "17 schedules");
        Throws<ArgumentException>(() => Link.SendSchedules(poll(), new[] { new WorkTimeSchedule { periods = new WorkTimePeriod[5] } }), "five periods");
        Throws<ArgumentException>(() => Link.SendDevicePasswords(poll(), new[] { "12a4" }), "password with a letter");
        Throws<ArgumentException>(() => Link.SendDevicePasswords(poll(), new[] { "123456789" }), "nine digits");
        Throws<ArgumentException>(() => Link.SendFingerPasswords(poll(), Enumerable.Repeat("1", 11).ToList()), "eleven passwords");
        Throws<ArgumentException>(() => Link.SendReaderMode(poll(), new byte[4]), "four settings");
        Throws<ArgumentException>(() => Link.SendFingerData(poll(), new byte[127]), "short template");
        Throws<ArgumentException>(() => Link.SendSoundData(poll(), new byte[2048]), "voice data beyond the buffer");
        Throws<ArgumentException>(() => Link.GetPasswords(new byte[84]), "password packet short of byte 84");
        var events = Prepared("events-current", out length);
        events[26] = 9;  // eight records travel
        Throws<ArgumentException>(() => Link.GetEvents(events, length), "event count beyond the packet");
        Same(9, events[26], "event count left as it was");
        // The limits themselves pass.
        Same(1346, Link.SendCards(poll(), Enumerable.Repeat(card, 88).ToList()), "88 cards");
        var passwords = poll();
        Same(66, Link.SendDevicePasswords(passwords, Enumerable.Repeat("12345678", 10).ToList()), "ten passwords");
        Same(Enumerable.Repeat("12345678", 10), Link.GetPasswords(passwords), "passwords read back");
    }

    static int Test()
    {
        string path = Environment.GetEnvironmentVariable("VELKOR_VECTORS") ?? "tools/vectors/vectors.json";
        var all = List(Obj(Json.Parse(File.ReadAllText(path)))["vectors"]).Select(Obj).ToList();
        vectors = all.ToDictionary(v => (string)v["name"]);
        int checkedVectors = 0;
        foreach (var v in all)
        {
            current = (string)v["name"];
            var data = Bytes((string)v["hex"]);
            Same(v["prepare"], Link.Prepare(Link.NewBuffer(data), data.Length), "prepare");
            string direction = (string)v["direction"];
            if (direction == "device-to-host" && v.ContainsKey("payload"))
            {
                int length;
                var buffer = Prepared(current, out length);
                Decode(v, buffer, length);
            }
            else if (direction == "host-to-device" || current == "reconnect")
            {
                Reply(v);
            }
            ++checkedVectors;
        }
        BadInput();
        Console.WriteLine("{0} vectors checked, {1} failures", checkedVectors, failures);
        return failures == 0 && checkedVectors >= 40 ? 0 : 1;
    }

    static int Main(string[] args)
    {
        string command = args.Length == 1 ? args[0] : "";
        switch (command)
        {
            case "layout": Layout(); return 0;
            case "exports": return Exports();
            case "test": return Test();
        }
        Console.Error.WriteLine("usage: VelkorlinkCheck.exe layout|exports|test");
        return 2;
    }
}
