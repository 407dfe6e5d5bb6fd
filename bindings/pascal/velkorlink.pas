{ Velkorlink for Free Pascal and Delphi: the device link library's C interface.

  The 32 exports keep their C names, bound to the underscore symbols with the cdecl convention;
  the host records are packed records with the same sizes and field offsets as the C header.
  The T-prefixed helpers at the end check every buffer and list before the call and raise
  EVelkorlink (an Exception) rather than let the library write past a buffer.

  Compiles in the objfpc and delphi modes of Free Pascal, and with Delphi. }
unit velkorlink;

{$ifdef FPC}
  {$packrecords 1}
  {$h+}
{$endif}

interface

uses
  SysUtils;

const
{$ifdef MSWINDOWS}
  VelkorlinkLibrary = 'velkorlink.dll';
{$else}
  VelkorlinkLibrary = 'velkorlink';
{$endif}

  HeadLength = 26;
  { No packet buffer may be shorter: intake reads up to byte 85, a legacy reply reaches 101. }
  MinBuffer = 102;
  { Holds every reply the library builds, 88 cards included. }
  BufferSize = 2048;
  NetConfigLength = 60;
  MaxCards = 88;
  MaxGroups = 32;
  MaxSchedules = 16;
  PasswordCount = 10;

type
  EVelkorlink = class(Exception);

  TPacket = array of Byte;

  { One card of the card list (30 bytes). }
  CardRecord = packed record
    cardNumber: Int64;
    password: array[0..8] of AnsiChar;
    year: SmallInt;
    month: Byte;
    day: Byte;
    hour: Byte;
    param: Byte;
    flag0: Byte;
    flag1: Byte;
    flag2: Byte;
    flag3: Byte;
    flag4: Byte;
    flag7: Byte;
    flag6: Byte;
  end;
  PCardRecord = ^CardRecord;

  { One multi-card group (49 bytes); a negative card number is an empty slot. }
  MultiCardGroup = packed record
    groupNumber: Byte;
    param1: Byte;
    cardNumbers: array[0..4] of Int64;
    param2: Byte;
    enabled: Byte;
    flag0: Byte;
    flag1: Byte;
    flag2: Byte;
    flag3: Byte;
    flag4: Byte;
  end;
  PMultiCardGroup = ^MultiCardGroup;

  { One period of the day (4 bytes); 255 in every field is an absent period. }
  WorkTimePeriod = packed record
    startHour: Byte;
    startMinute: Byte;
    endHour: Byte;
    endMinute: Byte;
  end;

  { One work-time schedule (26 bytes). }
  WorkTimeSchedule = packed record
    param0: Byte;
    param1: Byte;
    periods: array[0..5] of WorkTimePeriod;
  end;
  PWorkTimeSchedule = ^WorkTimeSchedule;

  { One event record (43 bytes); -1 marks a value the record does not carry. }
  EventRecord = packed record
    kind: Byte;
    number: QWord;
    code: Byte;
    value1: SmallInt;
    value2: SmallInt;
    value3: SmallInt;
    value4: SmallInt;
    value5: SmallInt;
    value6: SmallInt;
    value7: SmallInt;
    value8: SmallInt;
    cardNumber: Int64;
    digits: array[0..8] of AnsiChar;
  end;
  PEventRecord = ^EventRecord;

  { A reader's or fingerprint reader's mode block (5 bytes). }
  ModeBlock = packed record
    settings: array[0..4] of Byte;
  end;
  PModeBlock = ^ModeBlock;

  { A fingerprint template exchange (135 bytes). }
  FingerDataRecord = packed record
    leadByte: Byte;
    lowBits: Byte;
    number: Cardinal;
    lowNibble: Byte;
    templateData: array[0..127] of Byte;
  end;
  PFingerDataRecord = ^FingerDataRecord;

  TCardList = array of CardRecord;
  TGroupList = array of MultiCardGroup;
  TScheduleList = array of WorkTimeSchedule;
  TEventList = array of EventRecord;
  TPasswords = array of AnsiString;

{ ---- The exports ---- }

function PreparePackage(packet: PByte; length: Cardinal): Integer; cdecl;
  external VelkorlinkLibrary name '_PreparePackage';
function GetDeviceType(packet: PByte): Integer; cdecl;
  external VelkorlinkLibrary name '_GetDeviceType';
function GetDeviceIdent(packet: PByte): QWord; cdecl;
  external VelkorlinkLibrary name '_GetDeviceIdent';
function GetReconnectPackage(packet: PByte): Integer; cdecl;
  external VelkorlinkLibrary name '_GetReconnectPackage';
function ReadNetConfigration: PByte; cdecl;
  external VelkorlinkLibrary name '_ReadNetConfigration';
function SendNetConfigration(packet: PByte): Integer; cdecl;
  external VelkorlinkLibrary name '_SendNetConfigration';
function SendDeviceReadCommand(packet: PByte): Integer; cdecl;
  external VelkorlinkLibrary name '_SendDeviceReadCommand';
function SendDeviceEcho(packet: PByte): Integer; cdecl;
  external VelkorlinkLibrary name '_SendDeviceEcho';
function GetFirmwareVersion(packet: PByte): Integer; cdecl;
  external VelkorlinkLibrary name '_GetFirmwareVersion';

function SendCards(packet: PByte; count: Integer; cards: PCardRecord): Integer; cdecl;
  external VelkorlinkLibrary name '_SendCards';
function GetCards(packet: PByte; length: Cardinal; cards: PCardRecord): Integer; cdecl;
  external VelkorlinkLibrary name '_GetCards';
function SendMultiCards(packet: PByte; count: Integer; groups: PMultiCardGroup): Integer; cdecl;
  external VelkorlinkLibrary name '_SendMultiCards';
function GetMultiCards(packet: PByte; length: Cardinal; groups: PMultiCardGroup): Integer; cdecl;
  external VelkorlinkLibrary name '_GetMultiCards';
function SendWorkTime(packet: PByte; count: Integer; schedules: PWorkTimeSchedule): Integer; cdecl;
  external VelkorlinkLibrary name '_SendWorkTime';
function GetWorkTime(packet: PByte; length: Cardinal; schedules: PWorkTimeSchedule): Integer; cdecl;
  external VelkorlinkLibrary name '_GetWorkTime';
function SendDevicePassword(packet: PByte; password0, password1, password2, password3, password4,
  password5, password6, password7, password8, password9: PAnsiChar): Integer; cdecl;
  external VelkorlinkLibrary name '_SendDevicePassword';
function SendFingerPassword(packet: PByte; password0, password1, password2, password3, password4,
  password5, password6, password7, password8, password9: PAnsiChar): Integer; cdecl;
  external VelkorlinkLibrary name '_SendFingerPassword';
function GetDevicePassword(packet: PByte; index: Cardinal): PAnsiChar; cdecl;
  external VelkorlinkLibrary name '_GetDevicePassword';

{ C's bool is one byte: Boolean, not LongBool. Records the library only reads are passed as
  pointers: a const record parameter may travel by value under cdecl (a 5-byte ModeBlock does). }
function GetEvents(packet: PByte; out record_: EventRecord): Boolean; cdecl;
  external VelkorlinkLibrary name '_GetEvents';
function SendControl(packet: PByte; command, first, second, third: Integer): Integer; cdecl;
  external VelkorlinkLibrary name '_SendControl';
function SendExOutput(packet: PByte; value: Integer): Integer; cdecl;
  external VelkorlinkLibrary name '_SendExOutput';
function SendTimer(packet: PByte): Integer; cdecl;
  external VelkorlinkLibrary name '_SendTimer';
function SendReaderMoton(packet: PByte; block: PModeBlock): Integer; cdecl;
  external VelkorlinkLibrary name '_SendReaderMoton';
function GetReaderMoton(packet: PByte; var block: ModeBlock): Boolean; cdecl;
  external VelkorlinkLibrary name '_GetReaderMoton';
function SendFingerMoton(packet: PByte; block: PModeBlock): Integer; cdecl;
  external VelkorlinkLibrary name '_SendFingerMoton';
function GetFingerMoton(packet: PByte; var block: ModeBlock): Boolean; cdecl;
  external VelkorlinkLibrary name '_GetFingerMoton';
function SendFingerControl(packet: PByte; selector: Integer; number: Cardinal;
  command: Integer): Integer; cdecl;
  external VelkorlinkLibrary name '_SendFingerControl';
function GetFingerControl(packet: PByte): Integer; cdecl;
  external VelkorlinkLibrary name '_GetFingerControl';
procedure GetFingerData(packet: PByte; var record_: FingerDataRecord); cdecl;
  external VelkorlinkLibrary name '_GetFingerData';
function SendFingerData(packet: PByte; record_: PFingerDataRecord): Integer; cdecl;
  external VelkorlinkLibrary name '_SendFingerData';
function GetSoundBuffer(packet: PByte): PWord; cdecl;
  external VelkorlinkLibrary name '_GetSoundBuffer';
function SendSoundData(packet: PByte): Integer; cdecl;
  external VelkorlinkLibrary name '_SendSoundData';

{ ---- Checked helpers on dynamic byte arrays ---- }

{ A packet buffer of BufferSize bytes (or the datagram's length) holding the datagram. }
function NewPacket(const datagram: array of Byte): TPacket;
function Prepare(var packet: TPacket; length: Integer): Integer;
function ReceivedEvents(var packet: TPacket; length: Integer): TEventList;
function ReceivedCards(var packet: TPacket; length: Integer): TCardList;
function ReceivedGroups(var packet: TPacket; length: Integer): TGroupList;
function ReceivedSchedules(var packet: TPacket; length: Integer): TScheduleList;
function ReceivedPasswords(var packet: TPacket): TPasswords;
function NetConfig: TBytes;
function CardsReply(var packet: TPacket; const cards: array of CardRecord): Integer;
function GroupsReply(var packet: TPacket; const groups: array of MultiCardGroup): Integer;
function SchedulesReply(var packet: TPacket; const schedules: array of WorkTimeSchedule): Integer;
function DevicePasswordsReply(var packet: TPacket; const passwords: array of AnsiString): Integer;
function FingerPasswordsReply(var packet: TPacket; const passwords: array of AnsiString): Integer;
function SoundDataReply(var packet: TPacket; const data: array of Byte): Integer;
{ Any other Send export, after checking the buffer holds max(102, reply) bytes. }
function ReplyBuffer(var packet: TPacket; reply: Integer): PByte;
{ A card from a number, a digit password and a date stamp; raises on a bad password. }
function MakeCard(number: Int64; const password: AnsiString; year, month, day, hour: Byte): CardRecord;

implementation

procedure Fail(const what, message: string);
begin
  raise EVelkorlink.Create(what + ': ' + message);
end;

function Need(var packet: TPacket; count: Integer; const what: string): PByte;
begin
  if System.Length(packet) < count then
    Fail(what, Format('the packet buffer holds %d bytes, %d are needed',
                      [System.Length(packet), count]));
  Result := @packet[0];
end;

function ReplyBuffer(var packet: TPacket; reply: Integer): PByte;
begin
  if reply < MinBuffer then
    reply := MinBuffer;
  Result := Need(packet, reply, 'reply');
end;

procedure CheckLength(var packet: TPacket; length: Integer; const what: string);
begin
  if (length < 0) or (length > System.Length(packet)) then
    Fail(what, Format('length %d does not lie within the %d-byte buffer',
                      [length, System.Length(packet)]));
end;

procedure CheckDigits(const text: AnsiString; const what: string);
var
  i: Integer;
begin
  if System.Length(text) > 8 then
    Fail(what, '"' + string(text) + '" is not a password of up to 8 digits');
  for i := 1 to System.Length(text) do
    if not (text[i] in ['0'..'9']) then
      Fail(what, '"' + string(text) + '" is not a password of up to 8 digits');
end;

{ A text field up to its NUL, or all of it when it has none. }
function FieldText(const chars: array of AnsiChar): AnsiString;
var
  n: Integer;
begin
  n := 0;
  while (n <= High(chars)) and (chars[n] <> #0) do
    Inc(n);
  Result := '';
  SetLength(Result, n);
  if n > 0 then
    Move(chars[0], Result[1], n);
end;

procedure CheckCount(count, limit: Integer; const what: string);
begin
  if count > limit then
    Fail(what, Format('at most %d records travel in one packet, %d given', [limit, count]));
end;

function Room(length, stride: Integer): Integer;
begin
  if length < HeadLength then
    Result := 0
  else
    Result := (length - HeadLength) div stride;
end;

function NewPacket(const datagram: array of Byte): TPacket;
var
  size: Integer;
begin
  size := System.Length(datagram);
  if size < BufferSize then
    size := BufferSize;
  Result := nil;
  SetLength(Result, size);
  FillChar(Result[0], size, 0);
  if System.Length(datagram) > 0 then
    Move(datagram[0], Result[0], System.Length(datagram));
end;

function Prepare(var packet: TPacket; length: Integer): Integer;
begin
  CheckLength(packet, length, 'Prepare');
  Result := PreparePackage(Need(packet, MinBuffer, 'Prepare'), length);
end;

function ReceivedEvents(var packet: TPacket; length: Integer): TEventList;
var
  first, count, i: Integer;
  event: EventRecord;
begin
  Need(packet, 27, 'ReceivedEvents');
  CheckLength(packet, length, 'ReceivedEvents');
  if packet[2] = 0 then
    first := 86
  else
    first := 27;
  count := packet[26];
  if length < first + 16 * count then
    Fail('ReceivedEvents', Format('the packet announces %d records, %d bytes cannot hold them',
                                  [count, length]));
  Result := nil;
  SetLength(Result, count);
  i := count;
  { The library gives the records from last to first; each starts from zeros, so that nothing
    of the previous record shows through. }
  FillChar(event, SizeOf(event), 0);
  while (i > 0) and GetEvents(@packet[0], event) do
  begin
    Dec(i);
    Result[i] := event;
    FillChar(event, SizeOf(event), 0);
  end;
  if i > 0 then
    Result := Copy(Result, i, count - i);
end;

function ReceivedCards(var packet: TPacket; length: Integer): TCardList;
var
  n: Integer;
begin
  CheckLength(packet, length, 'ReceivedCards');
  Result := nil;
  SetLength(Result, Room(length, 15) + 1);
  n := GetCards(Need(packet, HeadLength, 'ReceivedCards'), length, @Result[0]);
  SetLength(Result, n);
end;

function ReceivedGroups(var packet: TPacket; length: Integer): TGroupList;
var
  n: Integer;
begin
  CheckLength(packet, length, 'ReceivedGroups');
  Result := nil;
  SetLength(Result, MaxGroups);
  n := GetMultiCards(Need(packet, HeadLength, 'ReceivedGroups'), length, @Result[0]);
  SetLength(Result, n);
end;

function ReceivedSchedules(var packet: TPacket; length: Integer): TScheduleList;
var
  n: Integer;
begin
  CheckLength(packet, length, 'ReceivedSchedules');
  Result := nil;
  SetLength(Result, MaxSchedules);
  n := GetWorkTime(Need(packet, HeadLength, 'ReceivedSchedules'), length, @Result[0]);
  SetLength(Result, n);
end;

function ReceivedPasswords(var packet: TPacket): TPasswords;
var
  i: Integer;
begin
  Need(packet, 85, 'ReceivedPasswords');
  Result := nil;
  SetLength(Result, PasswordCount);
  for i := 0 to PasswordCount - 1 do
    Result[i] := AnsiString(GetDevicePassword(@packet[0], i));
end;

function NetConfig: TBytes;
begin
  Result := nil;
  SetLength(Result, NetConfigLength);
  Move(ReadNetConfigration^, Result[0], NetConfigLength);
end;

function CardsReply(var packet: TPacket; const cards: array of CardRecord): Integer;
var
  i: Integer;
begin
  CheckCount(System.Length(cards), MaxCards, 'CardsReply');
  for i := 0 to High(cards) do
    CheckDigits(FieldText(cards[i].password), 'CardsReply');
  if System.Length(cards) = 0 then
    Result := SendCards(ReplyBuffer(packet, HeadLength), 0, nil)
  else
    Result := SendCards(ReplyBuffer(packet, HeadLength + 15 * System.Length(cards)),
                        System.Length(cards), @cards[0]);
end;

function GroupsReply(var packet: TPacket; const groups: array of MultiCardGroup): Integer;
begin
  CheckCount(System.Length(groups), MaxGroups, 'GroupsReply');
  if System.Length(groups) = 0 then
    Result := SendMultiCards(ReplyBuffer(packet, HeadLength), 0, nil)
  else
    Result := SendMultiCards(ReplyBuffer(packet, HeadLength + 32 * System.Length(groups)),
                             System.Length(groups), @groups[0]);
end;

function SchedulesReply(var packet: TPacket; const schedules: array of WorkTimeSchedule): Integer;
begin
  CheckCount(System.Length(schedules), MaxSchedules, 'SchedulesReply');
  if System.Length(schedules) = 0 then
    Result := SendWorkTime(ReplyBuffer(packet, HeadLength), 0, nil)
  else
    Result := SendWorkTime(ReplyBuffer(packet, HeadLength + 32 * System.Length(schedules)),
                           System.Length(schedules), @schedules[0]);
end;

type
  TPasswordSend = function(packet: PByte; password0, password1, password2, password3, password4,
    password5, password6, password7, password8, password9: PAnsiChar): Integer; cdecl;

function PasswordsReply(var packet: TPacket; const passwords: array of AnsiString;
  send: TPasswordSend; const what: string): Integer;
var
  p: array[0..PasswordCount - 1] of PAnsiChar;
  i: Integer;
begin
  if System.Length(passwords) > PasswordCount then
    Fail(what, Format('at most %d passwords, %d given', [PasswordCount, System.Length(passwords)]));
  for i := 0 to PasswordCount - 1 do
    p[i] := nil;
  for i := 0 to High(passwords) do
  begin
    CheckDigits(passwords[i], what);
    p[i] := PAnsiChar(passwords[i]);
  end;
  Result := send(ReplyBuffer(packet, 66), p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8],
                 p[9]);
end;

function DevicePasswordsReply(var packet: TPacket; const passwords: array of AnsiString): Integer;
begin
  Result := PasswordsReply(packet, passwords, @SendDevicePassword, 'DevicePasswordsReply');
end;

function FingerPasswordsReply(var packet: TPacket; const passwords: array of AnsiString): Integer;
begin
  Result := PasswordsReply(packet, passwords, @SendFingerPassword, 'FingerPasswordsReply');
end;

function SoundDataReply(var packet: TPacket; const data: array of Byte): Integer;
var
  count: Integer;
begin
  count := System.Length(data);
  if count > $FFFF then
    Fail('SoundDataReply', 'at most 65535 bytes travel');
  ReplyBuffer(packet, 29 + count);
  if count > 0 then
    Move(data[0], packet[29], count);
  packet[25] := count and $FF;
  packet[26] := count shr 8;
  Result := SendSoundData(@packet[0]);
end;

function MakeCard(number: Int64; const password: AnsiString; year, month, day, hour: Byte): CardRecord;
begin
  CheckDigits(password, 'MakeCard');
  FillChar(Result, SizeOf(Result), 0);
  Result.cardNumber := number;
  if System.Length(password) > 0 then
    Move(password[1], Result.password[0], System.Length(password));
  Result.year := year;
  Result.month := month;
  Result.day := day;
  Result.hour := hour;
end;

end.
