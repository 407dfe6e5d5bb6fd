// A small host in C#: answers devices over UDP on 127.0.0.1 with the link library.
// A new device gets the clock, a configuration goes back to its module, a card list is answered
// with our cards, a template request with the template uploaded for that slot, a voice request
// with voice data, everything else with an echo; a refused packet gets no reply.
//
// Stops when its standard input ends (Ctrl-D) or after SECONDS, and prints a summary.
//
// usage: mono Host.exe [PORT [SECONDS]]   (port 0 picks a free one)
using System;
using System.Collections.Generic;
using System.Linq;
using System.Net;
using System.Net.Sockets;
using System.Threading;
using Velkorlink;

static class Host
{
    const int EventReport = 0x01, FingerUpload = 0xE8, FingerRequest = 0xEA, VoiceRequest = 0xF2;
    const int CardList = 0xF8, Firmware = 0xFC, Configuration = 0xFF;

    static readonly List<CardRecord> Cards = new List<CardRecord>
    {
        new CardRecord { cardNumber = 1001, password = "1234", year = 99, month = 12, day = 31, hour = 23 },
        new CardRecord { cardNumber = 1002, password = "", year = 30, month = 6, day = 1, hour = 8, flag0 = 1 },
    };
    static readonly HashSet<Tuple<int, ulong>> Seen = new HashSet<Tuple<int, ulong>>();
    static readonly Dictionary<byte, byte[]> Templates = new Dictionary<byte, byte[]>();
    static int accepted, refused, events, replies;
    static volatile bool inputEnded;

    // The reply's length, 0 for none.
    static int Answer(byte[] packet, int length)
    {
        int code = Link.Prepare(packet, length);
        if (code == 0)
        {
            ++refused;
            return 0;
        }
        if (code == EventReport)
        {
            try
            {
                events += Link.GetEvents(packet, length).Count;
            }
            catch (ArgumentException)  // more records announced than received
            {
                ++refused;
                return 0;
            }
        }
        if (code == FingerUpload)
        {
            var upload = Link.GetFingerData(packet);
            Templates[upload.leadByte] = upload.templateData;
        }
        ++accepted;
        ++replies;
        var device = Tuple.Create(Link.DeviceType(packet), Link.DeviceIdent(packet));
        if (code == VoiceRequest && device.Item1 == 0)
        {
            int word = Link.SoundRequest(packet);
            return Link.SendSoundData(packet, Enumerable.Range(0, 480).Select(i => (byte)(word + i)).ToArray());
        }
        if (code == FingerRequest)
        {
            byte[] template;
            if (!Templates.TryGetValue(Link.GetFingerData(packet).leadByte, out template))
                template = new byte[128];
            return Link.SendFingerData(packet, template);
        }
        if (Seen.Add(device))
            return Link.SendTimer(packet);
        if (code == Configuration || code == Firmware)
            return Link.SendNetConfig(packet);
        if (code == CardList)
            return Link.SendCards(packet, Cards);
        return Link.SendEcho(packet);
    }

    static int Main(string[] args)
    {
        int port = args.Length > 0 ? int.Parse(args[0]) : 47810;
        double seconds = args.Length > 1 ? double.Parse(args[1]) : 0;
        using (var udp = new UdpClient(new IPEndPoint(IPAddress.Loopback, port)))
        {
            udp.Client.ReceiveTimeout = 250;
            Console.WriteLine("Host.exe: listening on 127.0.0.1:{0}", ((IPEndPoint)udp.Client.LocalEndPoint).Port);
            var stop = seconds > 0 ? DateTime.UtcNow.AddSeconds(seconds) : DateTime.MaxValue;
            var from = new IPEndPoint(IPAddress.Any, 0);
            new Thread(() =>
            {
                while (Console.In.ReadLine() != null)
                {
                }
                inputEnded = true;
            }) { IsBackground = true }.Start();
            while (DateTime.UtcNow < stop && !inputEnded)
            {
                byte[] datagram;
                try
                {
                    datagram = udp.Receive(ref from);
                }
                catch (SocketException)  // the receive timeout: check the clock
                {
                    continue;
                }
                var packet = Link.NewBuffer(datagram);
                int reply = Answer(packet, datagram.Length);
                if (reply > 0)
                    udp.Send(packet, reply, from);
            }
        }
        Console.WriteLine("Host.exe: packets accepted {0}, refused {1}, events decoded {2}, replies sent {3}",
                          accepted, refused, events, replies);
        return 0;
    }
}
