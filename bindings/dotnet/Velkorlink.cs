// Velkorlink for .NET: the device link library's C interface through P/Invoke.
//
// Native holds the 32 exports under their C names, bound to the underscore symbols, with the
// cdecl convention, byte[] packets and one-byte bools. The host records are sequential structs
// packed to one byte, the same sizes and field offsets as the C header. Link, on top, checks
// every buffer and list before the call (ArgumentException and its kin, never a write past a
// buffer) and takes and gives lists of records and strings.
using System;
using System.Collections.Generic;
using System.Runtime.InteropServices;

namespace Velkorlink
{
    /// <summary>One card of the card list (30 bytes).</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 1, CharSet = CharSet.Ansi)]
    public struct CardRecord
    {
        /// <summary>Only the low 40 bits travel.</summary>
        public long cardNumber;
        /// <summary>Up to 8 digits.</summary>
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 9)]
        public string password;
        public short year;
        public byte month;
        public byte day;
        public byte hour;
        public byte param;
        public byte flag0;
        public byte flag1;
        public byte flag2;
        public byte flag3;
        public byte flag4;
        public byte flag7;
        public byte flag6;
    }

    /// <summary>One multi-card group (49 bytes); a negative card number is an empty slot.</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 1)]
    public struct MultiCardGroup
    {
        public byte groupNumber;
        public byte param1;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 5)]
        public long[] cardNumbers;
        public byte param2;
        public byte enabled;
        public byte flag0;
        public byte flag1;
        public byte flag2;
        public byte flag3;
        public byte flag4;

        /// <summary>A group with five empty slots.</summary>
        public static MultiCardGroup Create(byte groupNumber)
        {
            return new MultiCardGroup { groupNumber = groupNumber, cardNumbers = new long[] { -1, -1, -1, -1, -1 } };
        }
    }

    /// <summary>One period of the day (4 bytes); 255 in every field is an absent period.</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 1)]
    public struct WorkTimePeriod
    {
        public byte startHour;
        public byte startMinute;
        public byte endHour;
        public byte endMinute;

        public WorkTimePeriod(byte startHour, byte startMinute, byte endHour, byte endMinute)
        {
            this.startHour = startHour;
            this.startMinute = startMinute;
            this.endHour = endHour;
            this.endMinute = endMinute;
        }

        public static readonly WorkTimePeriod Absent = new WorkTimePeriod(255, 255, 255, 255);
    }

    /// <summary>One work-time schedule (26 bytes).</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 1)]
    public struct WorkTimeSchedule
    {
        public byte param0;
        public byte param1;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 6)]
        public WorkTimePeriod[] periods;

        /// <summary>A schedule whose six periods are absent.</summary>
        public static WorkTimeSchedule Create()
        {
            var periods = new WorkTimePeriod[6];
            for (int i = 0; i < periods.Length; ++i)
                periods[i] = WorkTimePeriod.Absent;
            return new WorkTimeSchedule { periods = periods };
        }
    }

    /// <summary>One event record (43 bytes); -1 marks a value the record does not carry.</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 1, CharSet = CharSet.Ansi)]
    public struct EventRecord
    {
        public byte kind;
        public ulong number;
        public byte code;
        public short value1;
        public short value2;
        public short value3;
        public short value4;
        public short value5;
        public short value6;
        public short value7;
        public short value8;
        public long cardNumber;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 9)]
        public string digits;

        /// <summary>value1 .. value8 in order.</summary>
        public short[] Values
        {
            get { return new[] { value1, value2, value3, value4, value5, value6, value7, value8 }; }
        }
    }

    /// <summary>A reader's or fingerprint reader's mode block (5 bytes).</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 1)]
    public struct ModeBlock
    {
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 5)]
        public byte[] settings;
    }

    /// <summary>A fingerprint template exchange (135 bytes).</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 1)]
    public struct FingerDataRecord
    {
        public byte leadByte;
        public byte lowBits;
        public uint number;
        public byte lowNibble;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 128)]
        public byte[] templateData;

        public static FingerDataRecord Create()
        {
            return new FingerDataRecord { templateData = new byte[128] };
        }
    }

    /// <summary>The library's exports under their C names. The caller answers for every buffer
    /// and array: prefer Link, which checks them.</summary>
    public static class Native
    {
        public const string Library = "velkorlink";
        const CallingConvention Cdecl = CallingConvention.Cdecl;

        // Packet intake and device identity
        [DllImport(Library, EntryPoint = "_PreparePackage", CallingConvention = Cdecl)]
        public static extern int PreparePackage(byte[] packet, uint length);
        [DllImport(Library, EntryPoint = "_GetDeviceType", CallingConvention = Cdecl)]
        public static extern int GetDeviceType(byte[] packet);
        [DllImport(Library, EntryPoint = "_GetDeviceIdent", CallingConvention = Cdecl)]
        public static extern ulong GetDeviceIdent(byte[] packet);
        [DllImport(Library, EntryPoint = "_GetReconnectPackage", CallingConvention = Cdecl)]
        public static extern int GetReconnectPackage(byte[] packet);

        // Network module configuration
        [DllImport(Library, EntryPoint = "_ReadNetConfigration", CallingConvention = Cdecl)]
        public static extern IntPtr ReadNetConfigration();
        [DllImport(Library, EntryPoint = "_SendNetConfigration", CallingConvention = Cdecl)]
        public static extern int SendNetConfigration(byte[] packet);

        // Echo, read and firmware commands
        [DllImport(Library, EntryPoint = "_SendDeviceReadCommand", CallingConvention = Cdecl)]
        public static extern int SendDeviceReadCommand(byte[] packet);
        [DllImport(Library, EntryPoint = "_SendDeviceEcho", CallingConvention = Cdecl)]
        public static extern int SendDeviceEcho(byte[] packet);
        [DllImport(Library, EntryPoint = "_GetFirmwareVersion", CallingConvention = Cdecl)]
        public static extern int GetFirmwareVersion(byte[] packet);

        // Card and schedule data
        [DllImport(Library, EntryPoint = "_SendCards", CallingConvention = Cdecl)]
        public static extern int SendCards(byte[] packet, int count, [In] CardRecord[] cards);
        [DllImport(Library, EntryPoint = "_GetCards", CallingConvention = Cdecl)]
        public static extern int GetCards(byte[] packet, uint length, [In, Out] CardRecord[] cards);
        [DllImport(Library, EntryPoint = "_SendMultiCards", CallingConvention = Cdecl)]
        public static extern int SendMultiCards(byte[] packet, int count, [In] MultiCardGroup[] groups);
        [DllImport(Library, EntryPoint = "_GetMultiCards", CallingConvention = Cdecl)]
        public static extern int GetMultiCards(byte[] packet, uint length, [In, Out] MultiCardGroup[] groups);
        [DllImport(Library, EntryPoint = "_SendWorkTime", CallingConvention = Cdecl)]
        public static extern int SendWorkTime(byte[] packet, int count, [In] WorkTimeSchedule[] schedules);
        [DllImport(Library, EntryPoint = "_GetWorkTime", CallingConvention = Cdecl)]
        public static extern int GetWorkTime(byte[] packet, uint length, [In, Out] WorkTimeSchedule[] schedules);
        [DllImport(Library, EntryPoint = "_SendDevicePassword", CallingConvention = Cdecl, CharSet = CharSet.Ansi)]
        public static extern int SendDevicePassword(byte[] packet, string password0, string password1,
            string password2, string password3, string password4, string password5, string password6,
            string password7, string password8, string password9);
        [DllImport(Library, EntryPoint = "_SendFingerPassword", CallingConvention = Cdecl, CharSet = CharSet.Ansi)]
        public static extern int SendFingerPassword(byte[] packet, string password0, string password1,
            string password2, string password3, string password4, string password5, string password6,
            string password7, string password8, string password9);
        /// <summary>Points into packet bytes 76..84: read it before the packet moves.</summary>
        [DllImport(Library, EntryPoint = "_GetDevicePassword", CallingConvention = Cdecl)]
        public static extern IntPtr GetDevicePassword(byte[] packet, uint index);

        // Events, control and peripherals
        [DllImport(Library, EntryPoint = "_GetEvents", CallingConvention = Cdecl)]
        [return: MarshalAs(UnmanagedType.I1)]
        public static extern bool GetEvents(byte[] packet, ref EventRecord record);
        [DllImport(Library, EntryPoint = "_SendControl", CallingConvention = Cdecl)]
        public static extern int SendControl(byte[] packet, int command, int first, int second, int third);
        [DllImport(Library, EntryPoint = "_SendExOutput", CallingConvention = Cdecl)]
        public static extern int SendExOutput(byte[] packet, int value);
        [DllImport(Library, EntryPoint = "_SendTimer", CallingConvention = Cdecl)]
        public static extern int SendTimer(byte[] packet);
        [DllImport(Library, EntryPoint = "_SendReaderMoton", CallingConvention = Cdecl)]
        public static extern int SendReaderMoton(byte[] packet, ref ModeBlock block);
        [DllImport(Library, EntryPoint = "_GetReaderMoton", CallingConvention = Cdecl)]
        [return: MarshalAs(UnmanagedType.I1)]
        public static extern bool GetReaderMoton(byte[] packet, ref ModeBlock block);
        [DllImport(Library, EntryPoint = "_SendFingerMoton", CallingConvention = Cdecl)]
        public static extern int SendFingerMoton(byte[] packet, ref ModeBlock block);
        [DllImport(Library, EntryPoint = "_GetFingerMoton", CallingConvention = Cdecl)]
        [return: MarshalAs(UnmanagedType.I1)]
        public static extern bool GetFingerMoton(byte[] packet, ref ModeBlock block);
        [DllImport(Library, EntryPoint = "_SendFingerControl", CallingConvention = Cdecl)]
        public static extern int SendFingerControl(byte[] packet, int selector, uint number, int command);
        [DllImport(Library, EntryPoint = "_GetFingerControl", CallingConvention = Cdecl)]
        public static extern int GetFingerControl(byte[] packet);
        [DllImport(Library, EntryPoint = "_GetFingerData", CallingConvention = Cdecl)]
        public static extern void GetFingerData(byte[] packet, ref FingerDataRecord record);
        [DllImport(Library, EntryPoint = "_SendFingerData", CallingConvention = Cdecl)]
        public static extern int SendFingerData(byte[] packet, ref FingerDataRecord record);

        // Voice data transfer (legacy devices)
        /// <summary>Points at packet byte 25 of the array passed; valid only during the call
        /// (the array is not pinned afterwards): use Link.SoundRequest and Link.SendSoundData.</summary>
        [DllImport(Library, EntryPoint = "_GetSoundBuffer", CallingConvention = Cdecl)]
        public static extern IntPtr GetSoundBuffer(byte[] packet);
        [DllImport(Library, EntryPoint = "_SendSoundData", CallingConvention = Cdecl)]
        public static extern int SendSoundData(byte[] packet);
    }

    /// <summary>The exports with their buffers and lists checked, records in lists, passwords as
    /// strings. Bad arguments throw ArgumentException (or ArgumentNullException,
    /// ArgumentOutOfRangeException) before the library is called.</summary>
    public static class Link
    {
        public const int HeadLength = 26;
        /// <summary>No packet buffer may be shorter: intake reads up to byte 85, a legacy reply
        /// reaches byte 101.</summary>
        public const int MinBuffer = 102;
        /// <summary>A buffer this long holds every reply the library builds, 88 cards included,
        /// and a voice reply of up to 2019 data bytes.</summary>
        public const int BufferSize = 2048;
        public const int NetConfigLength = 60;
        public const int MaxCards = 88;
        public const int MaxGroups = 32;
        public const int MaxSchedules = 16;
        public const int PasswordCount = 10;
        const int CardStride = 15, GroupStride = 32, ScheduleStride = 32, EventStride = 16;
        const int FirstEvent = 27, FirstFrame = 86, VoiceData = 29;

        /// <summary>A packet buffer of BufferSize bytes (or the datagram's length) holding the
        /// datagram at its start.</summary>
        public static byte[] NewBuffer(byte[] datagram = null)
        {
            int length = datagram == null ? 0 : datagram.Length;
            var buffer = new byte[Math.Max(BufferSize, length)];
            if (datagram != null)
                Array.Copy(datagram, buffer, length);
            return buffer;
        }

        static byte[] Packet(byte[] packet, int need, string what)
        {
            if (packet == null)
                throw new ArgumentNullException("packet", what + ": no packet buffer");
            if (packet.Length < need)
                throw new ArgumentException(string.Format("{0}: the packet buffer holds {1} bytes, {2} are needed",
                                                          what, packet.Length, need), "packet");
            return packet;
        }

        static byte[] Reply(byte[] packet, int reply, string what)
        {
            return Packet(packet, Math.Max(MinBuffer, reply), what);
        }

        static uint Length(byte[] packet, int length, string what)
        {
            if (length < 0 || length > packet.Length)
                throw new ArgumentOutOfRangeException("length", length,
                    string.Format("{0}: length must lie within the {1}-byte buffer", what, packet.Length));
            return (uint)length;
        }

        static T[] Records<T>(IList<T> records, int limit, string what)
        {
            if (records == null)
                throw new ArgumentNullException("records", what + ": no list");
            if (records.Count > limit)
                throw new ArgumentException(string.Format("{0}: at most {1} records travel in one packet, {2} given",
                                                          what, limit, records.Count), "records");
            var array = new T[records.Count];
            records.CopyTo(array, 0);
            return array;
        }

        static void Digits(string text, string what)
        {
            if (text == null)
                return;
            if (text.Length > 8)
                throw new ArgumentException(what + ": \"" + text + "\" is not a password of up to 8 digits");
            foreach (char c in text)
                if (c < '0' || c > '9')
                    throw new ArgumentException(what + ": \"" + text + "\" is not a password of up to 8 digits");
        }

        static void Fixed<T>(T[] array, int length, string field, string what)
        {
            if (array == null || array.Length != length)
                throw new ArgumentException(string.Format("{0}: {1} must hold {2} elements", what, field, length));
        }

        // ---- Intake and identity ----

        /// <summary>Opens and checks a received packet in place: its command code, or 0 when it
        /// must be dropped.</summary>
        public static int Prepare(byte[] packet, int length)
        {
            Packet(packet, MinBuffer, "Prepare");
            return Native.PreparePackage(packet, Length(packet, length, "Prepare"));
        }

        public static int DeviceType(byte[] packet) { return Native.GetDeviceType(Packet(packet, HeadLength, "DeviceType")); }
        public static ulong DeviceIdent(byte[] packet) { return Native.GetDeviceIdent(Packet(packet, HeadLength, "DeviceIdent")); }
        public static int Reconnect(byte[] packet) { return Native.GetReconnectPackage(Packet(packet, HeadLength, "Reconnect")); }
        public static int FirmwareVersion(byte[] packet) { return Native.GetFirmwareVersion(Packet(packet, 90, "FirmwareVersion")); }
        public static int FingerControlReport(byte[] packet) { return Native.GetFingerControl(Packet(packet, 27, "FingerControlReport")); }

        /// <summary>A copy of the 60-byte network configuration record.</summary>
        public static byte[] NetConfig()
        {
            var record = new byte[NetConfigLength];
            Marshal.Copy(Native.ReadNetConfigration(), record, 0, NetConfigLength);
            return record;
        }

        // ---- Records in ----

        /// <summary>Every event of an event report in the packet's order; counts them all off.
        /// Throws when byte 26 announces more records than the length received holds.</summary>
        public static List<EventRecord> GetEvents(byte[] packet, int length)
        {
            Packet(packet, FirstEvent, "GetEvents");
            Length(packet, length, "GetEvents");
            int first = packet[2] == 0 ? FirstFrame : FirstEvent;
            if (length < first + EventStride * packet[26])
                throw new ArgumentException(string.Format("GetEvents: the packet announces {0} records, {1} bytes cannot hold them",
                                                          packet[26], length), "packet");
            var events = new List<EventRecord>();
            var record = new EventRecord();  // fresh each time: nothing of the previous record shows through
            while (Native.GetEvents(packet, ref record))
            {
                events.Add(record);
                record = new EventRecord();
            }
            events.Reverse();
            return events;
        }

        static int Room(int length, int stride)
        {
            return length < HeadLength ? 0 : (length - HeadLength) / stride;
        }

        public static List<CardRecord> GetCards(byte[] packet, int length)
        {
            uint n = Length(Packet(packet, HeadLength, "GetCards"), length, "GetCards");
            var room = new CardRecord[Math.Max(1, Room(length, CardStride))];
            int count = Native.GetCards(packet, n, room);
            return new List<CardRecord>(room).GetRange(0, count);
        }

        public static List<MultiCardGroup> GetGroups(byte[] packet, int length)
        {
            uint n = Length(Packet(packet, HeadLength, "GetGroups"), length, "GetGroups");
            var room = new MultiCardGroup[MaxGroups];
            for (int i = 0; i < room.Length; ++i)
                room[i] = MultiCardGroup.Create(0);
            int count = Native.GetMultiCards(packet, n, room);
            return new List<MultiCardGroup>(room).GetRange(0, count);
        }

        public static List<WorkTimeSchedule> GetSchedules(byte[] packet, int length)
        {
            uint n = Length(Packet(packet, HeadLength, "GetSchedules"), length, "GetSchedules");
            var room = new WorkTimeSchedule[MaxSchedules];
            for (int i = 0; i < room.Length; ++i)
                room[i] = WorkTimeSchedule.Create();
            int count = Native.GetWorkTime(packet, n, room);
            return new List<WorkTimeSchedule>(room).GetRange(0, count);
        }

        /// <summary>The ten passwords of a password packet ("" for none).</summary>
        public static string[] GetPasswords(byte[] packet)
        {
            Packet(packet, 85, "GetPasswords");
            var texts = new string[PasswordCount];
            for (uint i = 0; i < PasswordCount; ++i)
                texts[i] = Marshal.PtrToStringAnsi(Native.GetDevicePassword(packet, i));
            return texts;
        }

        /// <summary>The five settings of a reader mode report, null for any other packet.</summary>
        public static byte[] GetReaderMode(byte[] packet)
        {
            var block = new ModeBlock { settings = new byte[5] };
            return Native.GetReaderMoton(Packet(packet, 31, "GetReaderMode"), ref block) ? block.settings : null;
        }

        /// <summary>The five settings of a fingerprint mode report, null for any other packet.</summary>
        public static byte[] GetFingerMode(byte[] packet)
        {
            var block = new ModeBlock { settings = new byte[5] };
            return Native.GetFingerMoton(Packet(packet, 31, "GetFingerMode"), ref block) ? block.settings : null;
        }

        public static FingerDataRecord GetFingerData(byte[] packet)
        {
            var record = FingerDataRecord.Create();
            Native.GetFingerData(Packet(packet, 156, "GetFingerData"), ref record);
            return record;
        }

        /// <summary>The request word of a voice data request (0xF2), packet bytes 27..28.</summary>
        public static int SoundRequest(byte[] packet)
        {
            Packet(packet, VoiceData, "SoundRequest");
            return packet[27] | packet[28] << 8;
        }

        // ---- Replies out ----

        public static int SendCards(byte[] packet, IList<CardRecord> cards)
        {
            var array = Records(cards, MaxCards, "SendCards");
            foreach (var card in array)
                Digits(card.password, "SendCards");
            return Native.SendCards(Reply(packet, HeadLength + CardStride * array.Length, "SendCards"), array.Length, array);
        }

        public static int SendGroups(byte[] packet, IList<MultiCardGroup> groups)
        {
            var array = Records(groups, MaxGroups, "SendGroups");
            foreach (var group in array)
                Fixed(group.cardNumbers, 5, "cardNumbers", "SendGroups");
            return Native.SendMultiCards(Reply(packet, HeadLength + GroupStride * array.Length, "SendGroups"), array.Length, array);
        }

        public static int SendSchedules(byte[] packet, IList<WorkTimeSchedule> schedules)
        {
            var array = Records(schedules, MaxSchedules, "SendSchedules");
            foreach (var schedule in array)
                Fixed(schedule.periods, 6, "periods", "SendSchedules");
            return Native.SendWorkTime(Reply(packet, HeadLength + ScheduleStride * array.Length, "SendSchedules"), array.Length, array);
        }

        static string[] Passwords(IList<string> passwords, string what)
        {
            if (passwords == null)
                throw new ArgumentNullException("passwords", what + ": no list");
            if (passwords.Count > PasswordCount)
                throw new ArgumentException(string.Format("{0}: at most {1} passwords, {2} given", what, PasswordCount,
                                                          passwords.Count), "passwords");
            var texts = new string[PasswordCount];
            for (int i = 0; i < passwords.Count; ++i)
            {
                Digits(passwords[i], what);
                texts[i] = passwords[i];
            }
            return texts;
        }

        /// <summary>Up to ten device passwords (0xF1): texts of up to 8 digits, or null.</summary>
        public static int SendDevicePasswords(byte[] packet, IList<string> passwords)
        {
            var p = Passwords(passwords, "SendDevicePasswords");
            return Native.SendDevicePassword(Reply(packet, 66, "SendDevicePasswords"), p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8], p[9]);
        }

        /// <summary>Up to ten fingerprint passwords (0xE7): texts of up to 8 digits, or null.</summary>
        public static int SendFingerPasswords(byte[] packet, IList<string> passwords)
        {
            var p = Passwords(passwords, "SendFingerPasswords");
            return Native.SendFingerPassword(Reply(packet, 66, "SendFingerPasswords"), p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8], p[9]);
        }

        public static int SendNetConfig(byte[] packet) { return Native.SendNetConfigration(Reply(packet, 86, "SendNetConfig")); }
        public static int SendReadCommand(byte[] packet) { return Native.SendDeviceReadCommand(Reply(packet, 26, "SendReadCommand")); }
        public static int SendEcho(byte[] packet) { return Native.SendDeviceEcho(Reply(packet, 27, "SendEcho")); }
        public static int SendTimer(byte[] packet) { return Native.SendTimer(Reply(packet, 102, "SendTimer")); }
        public static int SendExOutput(byte[] packet, int value) { return Native.SendExOutput(Reply(packet, 102, "SendExOutput"), value); }

        public static int SendControl(byte[] packet, int command, int first, int second, int third)
        {
            return Native.SendControl(Reply(packet, 102, "SendControl"), command, first, second, third);
        }

        public static int SendFingerControl(byte[] packet, int selector, uint number, int command)
        {
            return Native.SendFingerControl(Reply(packet, 41, "SendFingerControl"), selector, number, command);
        }

        static ModeBlock Block(byte[] settings, string what)
        {
            Fixed(settings, 5, "settings", what);
            return new ModeBlock { settings = (byte[])settings.Clone() };
        }

        public static int SendReaderMode(byte[] packet, byte[] settings)
        {
            var block = Block(settings, "SendReaderMode");
            return Native.SendReaderMoton(Reply(packet, 102, "SendReaderMode"), ref block);
        }

        public static int SendFingerMode(byte[] packet, byte[] settings)
        {
            var block = Block(settings, "SendFingerMode");
            return Native.SendFingerMoton(Reply(packet, 31, "SendFingerMode"), ref block);
        }

        /// <summary>Answers a template request (0xEA) with a 128-byte template; 0 for any other
        /// packet.</summary>
        public static int SendFingerData(byte[] packet, byte[] template)
        {
            Fixed(template, 128, "the template", "SendFingerData");
            var record = FingerDataRecord.Create();
            Array.Copy(template, record.templateData, 128);
            return Native.SendFingerData(Reply(packet, 154, "SendFingerData"), ref record);
        }

        /// <summary>Voice data reply (0xF1) carrying data from packet byte 29.</summary>
        public static int SendSoundData(byte[] packet, byte[] data)
        {
            if (data == null)
                throw new ArgumentNullException("data", "SendSoundData: no data");
            if (data.Length > 0xFFFF)
                throw new ArgumentException("SendSoundData: at most 65535 bytes travel", "data");
            Reply(packet, VoiceData + data.Length, "SendSoundData");
            Array.Copy(data, 0, packet, VoiceData, data.Length);
            packet[25] = (byte)(data.Length & 0xFF);
            packet[26] = (byte)(data.Length >> 8);
            return Native.SendSoundData(packet);
        }
    }
}
