{ velkorlink_check: the Pascal binding's checks against the library.
    layout  prints every record's size and field offsets as the compiler lays them out
    test    the committed vectors (VELKOR_VECTORS) and bad input; exit code 1 on any failure }
program velkorlink_check;

{$mode objfpc}{$h+}

uses
  SysUtils, Classes, DateUtils, fpjson, jsonparser, velkorlink;

var
  failures: Integer = 0;
  current: string = '';
  vectors: TJSONArray;

{ ---- layout ---- }

procedure Line(const name: string; value: PtrUInt);
begin
  WriteLn(name, ' ', value);
end;

procedure Layout;
var
  c: CardRecord;
  g: MultiCardGroup;
  p: WorkTimePeriod;
  s: WorkTimeSchedule;
  e: EventRecord;
  m: ModeBlock;
  f: FingerDataRecord;
begin
  Line('CardRecord size', SizeOf(CardRecord));
  Line('CardRecord.cardNumber', PtrUInt(@c.cardNumber) - PtrUInt(@c));
  Line('CardRecord.password', PtrUInt(@c.password) - PtrUInt(@c));
  Line('CardRecord.year', PtrUInt(@c.year) - PtrUInt(@c));
  Line('CardRecord.month', PtrUInt(@c.month) - PtrUInt(@c));
  Line('CardRecord.day', PtrUInt(@c.day) - PtrUInt(@c));
  Line('CardRecord.hour', PtrUInt(@c.hour) - PtrUInt(@c));
  Line('CardRecord.param', PtrUInt(@c.param) - PtrUInt(@c));
  Line('CardRecord.flag0', PtrUInt(@c.flag0) - PtrUInt(@c));
  Line('CardRecord.flag1', PtrUInt(@c.flag1) - PtrUInt(@c));
  Line('CardRecord.flag2', PtrUInt(@c.flag2) - PtrUInt(@c));
  Line('CardRecord.flag3', PtrUInt(@c.flag3) - PtrUInt(@c));
  Line('CardRecord.flag4', PtrUInt(@c.flag4) - PtrUInt(@c));
  Line('CardRecord.flag7', PtrUInt(@c.flag7) - PtrUInt(@c));
  Line('CardRecord.flag6', PtrUInt(@c.flag6) - PtrUInt(@c));
  Line('MultiCardGroup size', SizeOf(MultiCardGroup));
  Line('MultiCardGroup.groupNumber', PtrUInt(@g.groupNumber) - PtrUInt(@g));
  Line('MultiCardGroup.param1', PtrUInt(@g.param1) - PtrUInt(@g));
  Line('MultiCardGroup.cardNumbers', PtrUInt(@g.cardNumbers) - PtrUInt(@g));
  Line('MultiCardGroup.param2', PtrUInt(@g.param2) - PtrUInt(@g));
  Line('MultiCardGroup.enabled', PtrUInt(@g.enabled) - PtrUInt(@g));
  Line('MultiCardGroup.flag0', PtrUInt(@g.flag0) - PtrUInt(@g));
  Line('MultiCardGroup.flag1', PtrUInt(@g.flag1) - PtrUInt(@g));
  Line('MultiCardGroup.flag2', PtrUInt(@g.flag2) - PtrUInt(@g));
  Line('MultiCardGroup.flag3', PtrUInt(@g.flag3) - PtrUInt(@g));
  Line('MultiCardGroup.flag4', PtrUInt(@g.flag4) - PtrUInt(@g));
  Line('WorkTimePeriod size', SizeOf(WorkTimePeriod));
  Line('WorkTimePeriod.startHour', PtrUInt(@p.startHour) - PtrUInt(@p));
  Line('WorkTimePeriod.startMinute', PtrUInt(@p.startMinute) - PtrUInt(@p));
  Line('WorkTimePeriod.endHour', PtrUInt(@p.endHour) - PtrUInt(@p));
  Line('WorkTimePeriod.endMinute', PtrUInt(@p.endMinute) - PtrUInt(@p));
  Line('WorkTimeSchedule size', SizeOf(WorkTimeSchedule));
  Line('WorkTimeSchedule.param0', PtrUInt(@s.param0) - PtrUInt(@s));
  Line('WorkTimeSchedule.param1', PtrUInt(@s.param1) - PtrUInt(@s));
  Line('WorkTimeSchedule.periods', PtrUInt(@s.periods) - PtrUInt(@s));
  Line('EventRecord size', SizeOf(EventRecord));
  Line('EventRecord.kind', PtrUInt(@e.kind) - PtrUInt(@e));
  Line('EventRecord.number', PtrUInt(@e.number) - PtrUInt(@e));
  Line('EventRecord.code', PtrUInt(@e.code) - PtrUInt(@e));
  Line('EventRecord.value1', PtrUInt(@e.value1) - PtrUInt(@e));
  Line('EventRecord.value2', PtrUInt(@e.value2) - PtrUInt(@e));
  Line('EventRecord.value3', PtrUInt(@e.value3) - PtrUInt(@e));
  Line('EventRecord.value4', PtrUInt(@e.value4) - PtrUInt(@e));
  Line('EventRecord.value5', PtrUInt(@e.value5) - PtrUInt(@e));
  Line('EventRecord.value6', PtrUInt(@e.value6) - PtrUInt(@e));
  Line('EventRecord.value7', PtrUInt(@e.value7) - PtrUInt(@e));
  Line('EventRecord.value8', PtrUInt(@e.value8) - PtrUInt(@e));
  Line('EventRecord.cardNumber', PtrUInt(@e.cardNumber) - PtrUInt(@e));
  Line('EventRecord.digits', PtrUInt(@e.digits) - PtrUInt(@e));
  Line('ModeBlock size', SizeOf(ModeBlock));
  Line('ModeBlock.settings', PtrUInt(@m.settings) - PtrUInt(@m));
  Line('FingerDataRecord size', SizeOf(FingerDataRecord));
  Line('FingerDataRecord.leadByte', PtrUInt(@f.leadByte) - PtrUInt(@f));
  Line('FingerDataRecord.lowBits', PtrUInt(@f.lowBits) - PtrUInt(@f));
  Line('FingerDataRecord.number', PtrUInt(@f.number) - PtrUInt(@f));
  Line('FingerDataRecord.lowNibble', PtrUInt(@f.lowNibble) - PtrUInt(@f));
  Line('FingerDataRecord.templateData', PtrUInt(@f.templateData) - PtrUInt(@f));
end;

{ ---- helpers ---- }

procedure Same(const expected, actual, what: string);
begin
  if expected <> actual then
  begin
    Inc(failures);
    WriteLn('FAIL ', current, ': ', what, LineEnding, '  expected ', expected, LineEnding,
            '  got      ', actual);
  end;
end;

function HexBytes(const bytes: array of Byte; first, count: Integer): string;
var
  i: Integer;
begin
  Result := '';
  for i := first to first + count - 1 do
  begin
    if i > first then
      Result := Result + ' ';
    Result := Result + IntToHex(bytes[i], 2);
  end;
end;

function Bytes(const hex: string): TBytes;
var
  parts: TStringArray;
  i: Integer;
begin
  parts := hex.Split([' '], TStringSplitOptions.ExcludeEmpty);
  Result := nil;
  SetLength(Result, System.Length(parts));
  for i := 0 to High(parts) do
    Result[i] := StrToInt('$' + parts[i]);
end;

function Flag(b: Byte): string;
begin
  if b <> 0 then Result := 'true' else Result := 'false';
end;

function Vector(const name: string): TJSONObject;
var
  i: Integer;
begin
  for i := 0 to vectors.Count - 1 do
    if vectors.Objects[i].Strings['name'] = name then
      Exit(vectors.Objects[i]);
  raise Exception.Create('no vector ' + name);
end;

function Prepared(const name: string; out length: Integer): TPacket;
var
  data: TBytes;
begin
  data := Bytes(Vector(name).Strings['hex']);
  Result := NewPacket(data);
  length := System.Length(data);
  Same(IntToStr(Vector(name).Integers['prepare']), IntToStr(Prepare(Result, length)),
       'prepare of ' + name);
end;

{ A JSON text of the decoded record, compact as fpjson writes it, to compare with the file's. }
function CardJson(const c: CardRecord): string;
begin
  Result := Format('{ "cardNumber" : %d, "password" : "%s", "year" : %d, "month" : %d, ' +
    '"day" : %d, "hour" : %d, "param" : %d, "flag0" : %s, "flag1" : %s, "flag2" : %s, ' +
    '"flag3" : %s, "flag4" : %s, "flag7" : %s, "flag6" : %s }',
    [c.cardNumber, PAnsiChar(@c.password[0]), c.year, c.month, c.day, c.hour, c.param,
     Flag(c.flag0), Flag(c.flag1), Flag(c.flag2), Flag(c.flag3), Flag(c.flag4), Flag(c.flag7),
     Flag(c.flag6)]);
end;

function GroupJson(const g: MultiCardGroup): string;
begin
  Result := Format('{ "groupNumber" : %d, "param1" : %d, "cardNumbers" : [%d, %d, %d, %d, %d], ' +
    '"param2" : %d, "enabled" : %s, "flag0" : %s, "flag1" : %s, "flag2" : %s, "flag3" : %s, ' +
    '"flag4" : %s }',
    [g.groupNumber, g.param1, g.cardNumbers[0], g.cardNumbers[1], g.cardNumbers[2],
     g.cardNumbers[3], g.cardNumbers[4], g.param2, Flag(g.enabled), Flag(g.flag0), Flag(g.flag1),
     Flag(g.flag2), Flag(g.flag3), Flag(g.flag4)]);
end;

function ScheduleJson(const s: WorkTimeSchedule): string;
var
  i: Integer;
begin
  Result := Format('{ "param0" : %d, "param1" : %d, "periods" : [', [s.param0, s.param1]);
  for i := 0 to 5 do
  begin
    if i > 0 then
      Result := Result + ', ';
    Result := Result + Format('[%d, %d, %d, %d]', [s.periods[i].startHour,
      s.periods[i].startMinute, s.periods[i].endHour, s.periods[i].endMinute]);
  end;
  Result := Result + '] }';
end;

function ConfigJson(captured: Boolean): string;
var
  r: TBytes;
begin
  r := NetConfig;
  Result := '{ ';
  if captured then
    Result := Result + '"captured" : ' + Flag(Ord(r[39] = 0)) + ', ';
  Result := Result + Format('"lead" : %d, "field4" : "%s", "word1" : %d, "word2" : %d, ' +
    '"block30" : "%s", "block20" : "%s" }', [r[0], HexBytes(r, 1, 4), r[5] or r[6] shl 8,
    r[7] or r[8] shl 8, HexBytes(r, 9, 30), HexBytes(r, 40, 20)]);
end;

function ModeJson(const settings: array of Byte): string;
begin
  Result := Format('[%d, %d, %d, %d, %d]', [settings[0], settings[1], settings[2], settings[3],
                                            settings[4]]);
end;

procedure Decode(v: TJSONObject; var packet: TPacket; length: Integer);
var
  p: TJSONObject;
  family: string;
  events: TEventList;
  cards: TCardList;
  groups: TGroupList;
  schedules: TScheduleList;
  record_: FingerDataRecord;
  block: ModeBlock;
  r: TJSONObject;
  i, count: Integer;
begin
  p := v.Objects['payload'];
  family := v.Strings['family'];
  if family = 'events' then
  begin
    Same(p.Get('count', -1).ToString, IntToStr(packet[26]), 'event count');
    events := ReceivedEvents(packet, length);
    Same(IntToStr(p.Arrays['records'].Count), IntToStr(System.Length(events)), 'events');
    for i := 0 to High(events) do
    begin
      r := p.Arrays['records'].Objects[i];
      Same(r.Integers['kind'].ToString, IntToStr(events[i].kind), 'kind');
      if r.IndexOfName('number') >= 0 then
        Same(r.Int64s['number'].ToString, IntToStr(events[i].number), 'number');
      if r.IndexOfName('code') >= 0 then
        Same(r.Integers['code'].ToString, IntToStr(events[i].code), 'code');
      Same(r.Arrays['values'].AsJSON, Format('[%d, %d, %d, %d, %d, %d, %d, %d]',
        [events[i].value1, events[i].value2, events[i].value3, events[i].value4, events[i].value5,
         events[i].value6, events[i].value7, events[i].value8]), 'values');
      Same(r.Int64s['cardNumber'].ToString, IntToStr(events[i].cardNumber), 'cardNumber');
      Same(r.Strings['digits'], string(PAnsiChar(@events[i].digits[0])), 'digits');
    end;
  end
  else if family = 'cards' then
  begin
    cards := ReceivedCards(packet, length);
    Same(IntToStr(p.Arrays['cards'].Count), IntToStr(System.Length(cards)), 'cards');
    for i := 0 to High(cards) do
      Same(p.Arrays['cards'].Objects[i].AsJSON, CardJson(cards[i]), 'card');
  end
  else if family = 'groups' then
  begin
    groups := ReceivedGroups(packet, length);
    Same(IntToStr(p.Arrays['groups'].Count), IntToStr(System.Length(groups)), 'groups');
    for i := 0 to High(groups) do
      Same(p.Arrays['groups'].Objects[i].AsJSON, GroupJson(groups[i]), 'group');
  end
  else if family = 'schedules' then
  begin
    schedules := ReceivedSchedules(packet, length);
    Same(IntToStr(p.Arrays['schedules'].Count), IntToStr(System.Length(schedules)), 'schedules');
    for i := 0 to High(schedules) do
      Same(p.Arrays['schedules'].Objects[i].AsJSON, ScheduleJson(schedules[i]), 'schedule');
  end
  else if family = 'configuration' then
    Same(p.Objects['configuration'].AsJSON, ConfigJson(True), 'configuration')
  else if family = 'firmware' then
  begin
    Same(p.Integers['firmware'].ToString, IntToStr(GetFirmwareVersion(@packet[0])), 'firmware');
    Same(p.Objects['configuration'].AsJSON, ConfigJson(True), 'configuration');
  end
  else if family = 'voice-request' then
  begin
    count := GetSoundBuffer(@packet[0])^;  { element 0, the data count; x86 reads it unaligned }
    Same(p.Integers['count'].ToString, IntToStr(count), 'voice count');
    Same(p.Integers['request'].ToString, IntToStr(packet[27] or packet[28] shl 8), 'request');
    Same(p.Strings['data'], HexBytes(packet, 29, count), 'voice data');
  end
  else if (family = 'reader-mode') or (family = 'finger-mode') then
  begin
    FillChar(block, SizeOf(block), 0);
    if family = 'reader-mode' then
      GetReaderMoton(@packet[0], block)
    else
      GetFingerMoton(@packet[0], block);
    Same(p.Arrays['mode'].AsJSON, ModeJson(block.settings), 'mode');
  end
  else if (family = 'template-upload') or (family = 'template-request') then
  begin
    FillChar(record_, SizeOf(record_), 0);
    GetFingerData(@packet[0], record_);
    Same(p.Integers['leadByte'].ToString, IntToStr(record_.leadByte), 'leadByte');
    Same(p.Integers['lowBits'].ToString, IntToStr(record_.lowBits), 'lowBits');
    if family = 'template-upload' then
      Same(p.Strings['template'], HexBytes(record_.templateData, 0, 128), 'template')
    else
    begin
      Same(p.Integers['lowNibble'].ToString, IntToStr(record_.lowNibble), 'lowNibble');
      Same(p.Integers['number'].ToString, IntToStr(record_.number), 'number');
    end;
  end
  else if family = 'finger-control-report' then
    Same(p.Integers['report'].ToString, IntToStr(GetFingerControl(@packet[0])), 'report')
  else
    Same('a decoding', 'none', 'family ' + family);
end;

function RequestFor(v: TJSONObject): string;
var
  family: string;
begin
  family := v.Strings['family'];
  if family = 'template' then Exit('template-request');
  if family = 'voice-data' then Exit('voice-request');
  if v.Objects['head'].Integers['type'] <> 0 then
  begin
    if family = 'configuration' then Exit('configuration-current');
    Exit('poll');
  end;
  { Legacy: controller frames and the configuration follow a network module packet. }
  if ((v.Find('payload') <> nil) and (v.Objects['payload'].IndexOfName('configuration') >= 0))
     or (v.Strings['name'] = 'echo-module') then
    Exit('configuration-legacy');
  Result := 'events-legacy';
end;

function Bool(o: TJSONObject; const name: string): Byte;
begin
  Result := Ord(o.Booleans[name]);
end;

function Send(v: TJSONObject; var b: TPacket): Integer;
var
  p, f: TJSONObject;
  family: string;
  cards: array of CardRecord;
  groups: array of MultiCardGroup;
  schedules: array of WorkTimeSchedule;
  passwords: array of AnsiString;
  block: ModeBlock;
  record_: FingerDataRecord;
  data: TBytes;
  i, j: Integer;
begin
  family := v.Strings['family'];
  p := nil;
  if v.Find('payload') <> nil then
    p := v.Objects['payload'];
  cards := nil; groups := nil; schedules := nil; passwords := nil;
  if family = 'cards' then
  begin
    SetLength(cards, p.Arrays['cards'].Count);
    for i := 0 to High(cards) do
    begin
      f := p.Arrays['cards'].Objects[i];
      cards[i] := MakeCard(f.Int64s['cardNumber'], AnsiString(f.Strings['password']),
        f.Integers['year'], f.Integers['month'], f.Integers['day'], f.Integers['hour']);
      cards[i].param := f.Integers['param'];
      cards[i].flag0 := Bool(f, 'flag0'); cards[i].flag1 := Bool(f, 'flag1');
      cards[i].flag2 := Bool(f, 'flag2'); cards[i].flag3 := Bool(f, 'flag3');
      cards[i].flag4 := Bool(f, 'flag4'); cards[i].flag7 := Bool(f, 'flag7');
      cards[i].flag6 := Bool(f, 'flag6');
    end;
    Exit(CardsReply(b, cards));
  end;
  if family = 'groups' then
  begin
    SetLength(groups, p.Arrays['groups'].Count);
    for i := 0 to High(groups) do
    begin
      f := p.Arrays['groups'].Objects[i];
      groups[i].groupNumber := f.Integers['groupNumber'];
      groups[i].param1 := f.Integers['param1'];
      groups[i].param2 := f.Integers['param2'];
      for j := 0 to 4 do
        groups[i].cardNumbers[j] := f.Arrays['cardNumbers'].Int64s[j];
      groups[i].enabled := Bool(f, 'enabled');
      groups[i].flag0 := Bool(f, 'flag0'); groups[i].flag1 := Bool(f, 'flag1');
      groups[i].flag2 := Bool(f, 'flag2'); groups[i].flag3 := Bool(f, 'flag3');
      groups[i].flag4 := Bool(f, 'flag4');
    end;
    Exit(GroupsReply(b, groups));
  end;
  if family = 'schedules' then
  begin
    SetLength(schedules, p.Arrays['schedules'].Count);
    for i := 0 to High(schedules) do
    begin
      f := p.Arrays['schedules'].Objects[i];
      schedules[i].param0 := f.Integers['param0'];
      schedules[i].param1 := f.Integers['param1'];
      for j := 0 to 5 do
        with f.Arrays['periods'].Arrays[j] do
        begin
          schedules[i].periods[j].startHour := Integers[0];
          schedules[i].periods[j].startMinute := Integers[1];
          schedules[i].periods[j].endHour := Integers[2];
          schedules[i].periods[j].endMinute := Integers[3];
        end;
    end;
    Exit(SchedulesReply(b, schedules));
  end;
  if (family = 'device-passwords') or (family = 'finger-passwords') then
  begin
    SetLength(passwords, p.Arrays['passwords'].Count);
    for i := 0 to High(passwords) do
      passwords[i] := AnsiString(p.Arrays['passwords'].Strings[i]);
    if family = 'device-passwords' then
      Exit(DevicePasswordsReply(b, passwords));
    Exit(FingerPasswordsReply(b, passwords));
  end;
  if family = 'configuration' then Exit(SendNetConfigration(ReplyBuffer(b, 86)));
  if family = 'read' then Exit(SendDeviceReadCommand(ReplyBuffer(b, 26)));
  if family = 'echo' then Exit(SendDeviceEcho(ReplyBuffer(b, 27)));
  if family = 'control' then
    with p.Arrays['arguments'] do
      Exit(SendControl(ReplyBuffer(b, 102), p.Integers['command'], Integers[0], Integers[1],
                       Integers[2]));
  if family = 'extra-output' then Exit(SendExOutput(ReplyBuffer(b, 102), p.Integers['value']));
  if family = 'clock' then Exit(SendTimer(ReplyBuffer(b, 102)));
  if (family = 'reader-mode') or (family = 'finger-mode') then
  begin
    for i := 0 to 4 do
      block.settings[i] := p.Arrays['mode'].Integers[i];
    if family = 'reader-mode' then
      Exit(SendReaderMoton(ReplyBuffer(b, 102), @block));
    Exit(SendFingerMoton(ReplyBuffer(b, 31), @block));
  end;
  if family = 'finger-control' then
    Exit(SendFingerControl(ReplyBuffer(b, 41), p.Integers['selector'], p.Int64s['number'],
                           p.Integers['command']));
  if family = 'template' then
  begin
    FillChar(record_, SizeOf(record_), 0);
    data := Bytes(p.Strings['template']);
    Move(data[0], record_.templateData[0], 128);
    Exit(SendFingerData(ReplyBuffer(b, 154), @record_));
  end;
  if family = 'voice-data' then
    Exit(SoundDataReply(b, Bytes(p.Strings['data'])));
  Same('a Send wrapper', 'none', 'family ' + family);
  Result := 0;
end;

function Bcd(b: Byte): Integer;
begin
  Result := (b shr 4) * 10 + (b and $0F);
end;

procedure Reply(v: TJSONObject);
const
  CurrentTime: array[0..5] of Integer = (34, 33, 32, 30, 29, 28);
  LegacyTime: array[0..5] of Integer = (89, 90, 91, 92, 93, 94);
var
  expected: TBytes;
  packet: TPacket;
  length, n, i: Integer;
  at: array[0..5] of Integer;
  derived: Integer;
  stamp: TDateTime;
begin
  expected := Bytes(v.Strings['hex']);
  if v.Strings['name'] = 'reconnect' then
  begin
    packet := NewPacket([]);
    n := GetReconnectPackage(@packet[0]);
  end
  else
  begin
    packet := Prepared(RequestFor(v), length);
    n := Send(v, packet);
  end;
  if (v.Strings['family'] = 'clock') and (n = System.Length(expected)) then
  begin
    { The vector pins the time bytes; the library writes the time of the call. }
    if v.Objects['head'].Integers['type'] = 0 then
    begin
      for i := 0 to 5 do at[i] := LegacyTime[i];
      derived := 99;
    end
    else
    begin
      for i := 0 to 5 do at[i] := CurrentTime[i];
      derived := 31;
    end;
    stamp := EncodeDateTime(2000 + Bcd(packet[at[0]]), Bcd(packet[at[1]]), Bcd(packet[at[2]]),
                            Bcd(packet[at[3]]), Bcd(packet[at[4]]), Bcd(packet[at[5]]), 0);
    if Abs(SecondsBetween(stamp, Now)) > 120 then
      Same('the time of the call', DateTimeToStr(stamp), 'clock');
    for i := 0 to 5 do
      packet[at[i]] := expected[at[i]];
    packet[derived] := expected[derived];
  end;
  Same(HexBytes(expected, 0, System.Length(expected)), HexBytes(packet, 0, n), 'reply bytes');
end;

{ ---- bad input ---- }

procedure Raises(const what: string; ok: Boolean);
begin
  if not ok then
    Same('EVelkorlink', 'no exception', what);
end;

function Poll: TPacket;
var
  length: Integer;
begin
  Result := Prepared('poll', length);
end;

procedure BadInput;
var
  packet, small: TPacket;
  cards: array of CardRecord;
  length: Integer;
  raised: Boolean;
begin
  current := 'bad input';
  small := nil;
  SetLength(small, 40);
  cards := nil;
  SetLength(cards, 89);
  { Each call must raise EVelkorlink and leave the packet untouched. }
  raised := False;
  try Prepare(small, 26); except on EVelkorlink do raised := True; end;
  Raises('short buffer', raised);
  raised := False;
  packet := Poll;
  try Prepare(packet, System.Length(packet) + 1); except on EVelkorlink do raised := True; end;
  Raises('length beyond the buffer', raised);
  raised := False;
  try CardsReply(packet, cards); except on EVelkorlink do raised := True; end;
  Raises('89 cards', raised);
  raised := False;
  SetLength(small, 200);
  try CardsReply(small, Copy(cards, 0, 20)); except on EVelkorlink do raised := True; end;
  Raises('buffer short of 20 cards', raised);
  raised := False;
  try DevicePasswordsReply(packet, ['12a4']); except on EVelkorlink do raised := True; end;
  Raises('password with a letter', raised);
  raised := False;
  try FingerPasswordsReply(packet, ['123456789']); except on EVelkorlink do raised := True; end;
  Raises('nine digits', raised);
  raised := False;
  try MakeCard(1, 'x', 0, 1, 1, 0); except on EVelkorlink do raised := True; end;
  Raises('card password with a letter', raised);
  raised := False;
  SetLength(cards, 1);
  FillChar(cards[0].password, 9, Ord('1'));  { nine digits, no NUL }
  try CardsReply(packet, cards); except on EVelkorlink do raised := True; end;
  Raises('card password of nine digits', raised);
  FillChar(cards[0], SizeOf(CardRecord), 0);
  raised := False;
  try SoundDataReply(packet, Copy(NewPacket([]), 0, 2048)); except on EVelkorlink do raised := True; end;
  Raises('voice data beyond the buffer', raised);
  Same(HexBytes(Poll, 0, 200), HexBytes(packet, 0, 200), 'refused calls left the packet');
  packet := Prepared('events-current', length);
  packet[26] := 9;  { eight records travel }
  raised := False;
  try ReceivedEvents(packet, length); except on EVelkorlink do raised := True; end;
  Raises('event count beyond the packet', raised);
  Same('9', IntToStr(packet[26]), 'event count left as it was');
  { The limits themselves pass. }
  SetLength(cards, 88);
  packet := Poll;
  Same('1346', IntToStr(CardsReply(packet, cards)), '88 cards');
  packet := Poll;
  Same('66', IntToStr(DevicePasswordsReply(packet, ['12345678', '', '0'])), 'passwords');
  Same('12345678,,0', ReceivedPasswords(packet)[0] + ',' + ReceivedPasswords(packet)[1] + ',' +
       ReceivedPasswords(packet)[2], 'passwords read back');
end;

function Test: Integer;
var
  text: TStringList;
  document: TJSONData;
  v: TJSONObject;
  data: TBytes;
  packet: TPacket;
  i, length, checked: Integer;
  path: string;
begin
  path := GetEnvironmentVariable('VELKOR_VECTORS');
  if path = '' then
    path := 'tools/vectors/vectors.json';
  text := TStringList.Create;
  text.LoadFromFile(path);
  document := GetJSON(text.Text);
  text.Free;
  vectors := TJSONObject(document).Arrays['vectors'];
  checked := 0;
  for i := 0 to vectors.Count - 1 do
  begin
    v := vectors.Objects[i];
    current := v.Strings['name'];
    data := Bytes(v.Strings['hex']);
    packet := NewPacket(data);
    Same(IntToStr(v.Integers['prepare']), IntToStr(Prepare(packet, System.Length(data))),
         'prepare');
    if (v.Strings['direction'] = 'device-to-host') and (v.Find('payload') <> nil) then
    begin
      packet := Prepared(current, length);
      Decode(v, packet, length);
    end
    else if (v.Strings['direction'] = 'host-to-device') or (current = 'reconnect') then
      Reply(v);
    Inc(checked);
  end;
  BadInput;
  document.Free;
  WriteLn(checked, ' vectors checked, ', failures, ' failures');
  if (failures = 0) and (checked >= 40) then
    Result := 0
  else
    Result := 1;
end;

begin
  if ParamStr(1) = 'layout' then
    Layout
  else if ParamStr(1) = 'test' then
    ExitCode := Test
  else
  begin
    WriteLn(StdErr, 'usage: velkorlink_check layout|test');
    ExitCode := 2;
  end;
end.
