{ A small host in Free Pascal: answers devices over UDP on 127.0.0.1 with the link library.
  A new device gets the clock, a configuration goes back to its module, a card list is answered
  with our cards, a template request with the template uploaded for that slot, a voice request
  with voice data, everything else with an echo; a refused packet gets no reply. Stops when its
  standard input ends (Ctrl-D) and prints a summary.

  usage: host [PORT]   (port 0 picks a free one; POSIX sockets, so Free Pascal on Unix) }
program host;

{$mode objfpc}{$h+}

uses
  SysUtils, BaseUnix, Sockets, velkorlink;

const
  EventReport = $01;
  FingerUpload = $E8;
  FingerRequest = $EA;
  VoiceRequest = $F2;
  CardList = $F8;
  Firmware = $FC;
  Configuration = $FF;
  MaxDevices = 256;

var
  cards: array[0..1] of CardRecord;
  seen: array[0..MaxDevices - 1] of QWord;  { type shl 56 or serial, of the devices met }
  seenCount: Integer = 0;
  templates: array[Byte] of FingerDataRecord;
  accepted, refused, events, replies: Integer;

function FirstContact(packet: TPacket): Boolean;
var
  device: QWord;
  i: Integer;
begin
  device := QWord(GetDeviceType(@packet[0])) shl 56 or GetDeviceIdent(@packet[0]);
  for i := 0 to seenCount - 1 do
    if seen[i] = device then
      Exit(False);
  if seenCount < MaxDevices then
  begin
    seen[seenCount] := device;
    Inc(seenCount);
  end;
  Result := True;
end;

{ The reply's length, 0 for none. }
function Answer(var packet: TPacket; length: Integer): Integer;
var
  code, i, word: Integer;
  data: TBytes;
  upload: FingerDataRecord;
begin
  Result := 0;
  code := Prepare(packet, length);
  if code = 0 then
  begin
    Inc(refused);
    Exit;
  end;
  if code = EventReport then
    try
      Inc(events, System.Length(ReceivedEvents(packet, length)));
    except
      on EVelkorlink do  { more records announced than received }
      begin
        Inc(refused);
        Exit;
      end;
    end;
  FillChar(upload, SizeOf(upload), 0);
  GetFingerData(@packet[0], upload);
  if code = FingerUpload then
    templates[upload.leadByte] := upload;
  Inc(accepted);
  Inc(replies);
  if (code = VoiceRequest) and (GetDeviceType(@packet[0]) = 0) then
  begin
    word := packet[27] or packet[28] shl 8;
    data := nil;
    SetLength(data, 480);
    for i := 0 to High(data) do
      data[i] := Byte(word + i);
    Exit(SoundDataReply(packet, data));
  end;
  if code = FingerRequest then
    Exit(SendFingerData(ReplyBuffer(packet, 154), @templates[upload.leadByte]));
  if FirstContact(packet) then
    Exit(SendTimer(ReplyBuffer(packet, 102)));
  case code of
    Configuration, Firmware: Result := SendNetConfigration(ReplyBuffer(packet, 86));
    CardList: Result := CardsReply(packet, cards);
  else
    Result := SendDeviceEcho(ReplyBuffer(packet, 27));
  end;
end;

var
  udp: LongInt;
  address, from: TInetSockAddr;
  size: TSockLen;
  readable: TFDSet;
  wait: TTimeVal;
  datagram: array[0..65535] of Byte;
  packet: TPacket;
  got, reply: PtrInt;
  input: array[0..255] of Byte;
begin
  cards[0] := MakeCard(1001, '1234', 99, 12, 31, 23);
  cards[1] := MakeCard(1002, '', 30, 6, 1, 8);
  cards[1].flag0 := 1;
  FillChar(templates, SizeOf(templates), 0);

  udp := fpSocket(AF_INET, SOCK_DGRAM, 0);
  FillChar(address, SizeOf(address), 0);
  address.sin_family := AF_INET;
  address.sin_port := htons(StrToIntDef(ParamStr(1), 47810));
  address.sin_addr := StrToNetAddr('127.0.0.1');
  if (udp < 0) or (fpBind(udp, @address, SizeOf(address)) <> 0) then
  begin
    WriteLn(StdErr, 'host: cannot open the UDP port: error ', SocketError);
    Halt(1);
  end;
  size := SizeOf(address);
  fpGetSockName(udp, @address, @size);
  WriteLn('host: listening on 127.0.0.1:', ntohs(address.sin_port));
  Flush(Output);

  while True do
  begin
    fpFD_ZERO(readable);
    fpFD_SET(0, readable);
    fpFD_SET(udp, readable);
    wait.tv_sec := 1;
    wait.tv_usec := 0;
    if fpSelect(udp + 1, @readable, nil, nil, @wait) <= 0 then
      Continue;
    if (fpFD_ISSET(0, readable) = 1) and (fpRead(0, input, SizeOf(input)) <= 0) then
      Break;  { standard input ended }
    if fpFD_ISSET(udp, readable) <> 1 then
      Continue;
    size := SizeOf(from);
    got := fpRecvFrom(udp, @datagram, SizeOf(datagram), 0, @from, @size);
    if got < 0 then
      Continue;
    packet := NewPacket(Slice(datagram, got));
    reply := Answer(packet, got);
    if reply > 0 then
      fpSendTo(udp, @packet[0], reply, 0, @from, size);
  end;
  CloseSocket(udp);
  WriteLn(Format('host: packets accepted %d, refused %d, events decoded %d, replies sent %d',
                 [accepted, refused, events, replies]));
end.
