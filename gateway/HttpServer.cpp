// The only unit that sees Beast and Asio: they are slow to compile.
#include "HttpServer.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

#include "Tls.h"

namespace velkor::gateway {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;
using boost::system::error_code;
using namespace std::chrono_literals;

constexpr std::size_t kBufferBytes = 64 * 1024;  // above the header limit: that one trips first
constexpr std::size_t kReadBytes = 4096;
// After a refusal the rest of what the client sends is read and dropped for a moment, so that
// it gets to read the answer instead of a reset.
constexpr auto kLingerTime = 2s;
constexpr std::size_t kLingerBytes = 8 << 20;
constexpr char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";

std::string Text(beast::string_view text) {
  return std::string(text.data(), text.size());
}

// Beast's parser into our request, with a cap on the number of header fields besides Beast's
// caps on the header's and the body's size.
class RequestParser final : public http::basic_parser<true> {
 public:
  explicit RequestParser(const HttpLimits& limits) : limits_(limits) {
    header_limit(static_cast<std::uint32_t>(limits.headerBytes));
    body_limit(limits.bodyBytes);
  }

  HttpRequest request;
  bool tooManyFields = false;

 private:
  void on_request_impl(http::verb, beast::string_view method, beast::string_view target, int,
                       error_code&) override {
    request.method = Text(method);
    request.target = Text(target);
  }
  void on_response_impl(int, beast::string_view, int, error_code&) override {}
  void on_field_impl(http::field, beast::string_view name, beast::string_view value,
                     error_code& ec) override {
    if (++fields_ > limits_.headerFields) {
      tooManyFields = true;
      ec = http::error::header_limit;
      return;
    }
    const auto [at, added] = request.headers.try_emplace(Text(name), Text(value));
    if (!added) {
      at->second += ", ";
      at->second += Text(value);
    }
  }
  void on_header_impl(error_code&) override {}
  void on_body_init_impl(const boost::optional<std::uint64_t>& length, error_code&) override {
    if (length && *length <= limits_.bodyBytes) {
      request.body.reserve(static_cast<std::size_t>(*length));
    }
  }
  std::size_t on_body_impl(beast::string_view body, error_code& ec) override {
    return Append(body, ec);
  }
  void on_chunk_header_impl(std::uint64_t, beast::string_view, error_code&) override {}
  std::size_t on_chunk_body_impl(std::uint64_t, beast::string_view body, error_code& ec) override {
    return Append(body, ec);
  }
  void on_finish_impl(error_code&) override {}

  std::size_t Append(beast::string_view body, error_code& ec) {
    if (request.body.size() + body.size() > limits_.bodyBytes) {
      ec = http::error::body_limit;
      return 0;
    }
    request.body.append(body.data(), body.size());
    return body.size();
  }

  const HttpLimits& limits_;
  std::size_t fields_ = 0;
};

struct Refusal {
  int status;
  std::string message;
};

// What a parse error is answered with; nothing for a client that went away or was too slow.
std::optional<Refusal> RefusalOf(const error_code& ec, const RequestParser& parser,
                                 const HttpLimits& limits) {
  if (ec == http::error::body_limit) {
    return Refusal{413,
                   "the body is larger than " + std::to_string(limits.bodyBytes >> 20) + " MiB"};
  }
  if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
    return Refusal{431, parser.tooManyFields
                            ? "more than " + std::to_string(limits.headerFields) + " header fields"
                            : "the header is larger than " +
                                  std::to_string(limits.headerBytes >> 10) + " KiB"};
  }
  if (ec.category() == http::make_error_code(http::error::bad_target).category() &&
      ec != http::error::end_of_stream && ec != http::error::partial_message) {
    return Refusal{400, "malformed request"};
  }
  return std::nullopt;
}

// The stream thread's side of a connection, whatever its transport: chunks go out on the
// connection's strand.
class StreamSink {
 public:
  virtual ~StreamSink() = default;
  virtual bool Gone() const = 0;
  virtual void WriteChunk(std::shared_ptr<std::string> data,
                          std::shared_ptr<std::promise<bool>> done) = 0;
  virtual void EndStream() = 0;
};

}  // namespace

struct HttpServer::Impl {
  Impl(Handler h, HttpLimits l)
      : handler(std::move(h)),
        limits(l),
        ioc(static_cast<int>(l.ioThreads)),
        acceptor(net::make_strand(ioc)),
        retry(acceptor.get_executor()) {}

  void Accept();
  void Admit(tcp::socket socket);
  void Release(const std::string& address);
  void RunStream(std::shared_ptr<StreamSink> session, StreamProvider provider);
  void RunIo();

  Handler handler;
  HttpLimits limits;
  std::atomic<bool> stopping{false};
  std::mutex mutex;  // guards what follows up to the io_context
  std::map<std::string, std::size_t> perAddress;
  std::size_t open = 0;
  std::size_t streams = 0;
  std::condition_variable streamsDone;
  // Sessions left in its queues at the end go with it and release their counts above.
  net::io_context ioc;
  tcp::acceptor acceptor;
  net::steady_timer retry;
  std::optional<net::thread_pool> workers;
  std::shared_ptr<TlsCredentials> tls;  // HTTPS when set
};

namespace {

using PlainStream = beast::tcp_stream;
using TlsStream = beast::ssl_stream<beast::tcp_stream>;
constexpr bool kPlain = false;  // template arguments, for reading
constexpr bool kTls = true;

// The connection's stream over the accepted socket; the TLS one with `context`.
template <class Stream>
Stream OpenStream(tcp::socket socket, ssl::context* context) {
  if constexpr (std::is_same_v<Stream, TlsStream>) {
    return Stream(std::move(socket), *context);
  } else {
    return Stream(std::move(socket));
  }
}

// One connection: plain HTTP, or HTTP in TLS after a handshake that must end within the header
// time. Every deadline is the TCP stream's beneath, whichever it is.
template <bool Tls>
class Session final : public StreamSink, public std::enable_shared_from_this<Session<Tls>> {
  using Stream = std::conditional_t<Tls, TlsStream, PlainStream>;

 public:
  Session(HttpServer::Impl& server, tcp::socket socket, std::string address,
          std::shared_ptr<ssl::context> context)
      : server_(server),
        limits_(server.limits),
        context_(std::move(context)),
        stream_(OpenStream<Stream>(std::move(socket), context_.get())),
        buffer_(kBufferBytes),
        address_(std::move(address)) {}
  ~Session() override { server_.Release(address_); }

  void Start() {
    net::dispatch(stream_.get_executor(), [self = this->shared_from_this()] {
      if constexpr (Tls) {
        self->Handshake();
      } else {
        self->AwaitRequest();
      }
    });
  }

  // The stream thread's side: chunks go out on the connection's strand.
  bool Gone() const override { return clientGone_; }
  void WriteChunk(std::shared_ptr<std::string> data,
                  std::shared_ptr<std::promise<bool>> done) override {
    net::post(stream_.get_executor(), [self = this->shared_from_this(), data, done] {
      self->Tcp().expires_after(self->limits_.writeTimeout);
      net::async_write(self->stream_,
                       http::make_chunk(net::const_buffer(data->data(), data->size())),
                       [self, data, done](error_code ec, std::size_t) {
                         if (ec) {
                           self->clientGone_ = true;
                         }
                         done->set_value(!ec);
                       });
    });
  }
  void EndStream() override {
    net::post(stream_.get_executor(), [self = this->shared_from_this()] {
      if (self->clientGone_) {
        self->Close();
        return;
      }
      self->Tcp().expires_after(self->limits_.writeTimeout);
      net::async_write(self->stream_, http::make_chunk_last(),
                       [self](error_code, std::size_t) { self->Close(); });
    });
  }

 private:
  beast::tcp_stream& Tcp() { return beast::get_lowest_layer(stream_); }

  // A client that never finishes its handshake holds its place no longer than one that never
  // finishes its header; one that fails it (plain HTTP, say) is closed with no answer.
  void Handshake() {
    Tcp().expires_after(limits_.headerTimeout);
    stream_.async_handshake(ssl::stream_base::server,
                            [self = this->shared_from_this()](error_code ec) {
                              if (ec) {
                                self->Close();
                              } else {
                                self->AwaitRequest();
                              }
                            });
  }

  // Between requests: the first byte of the next one must come within the idle time.
  void AwaitRequest() {
    if (buffer_.size() > 0) {
      ReadHeader();
      return;
    }
    Tcp().expires_after(limits_.idleTimeout);
    stream_.async_read_some(buffer_.prepare(kReadBytes),
                            [self = this->shared_from_this()](error_code ec, std::size_t n) {
                              if (ec) {
                                self->Close();
                                return;
                              }
                              self->buffer_.commit(n);
                              self->ReadHeader();
                            });
  }

  // The whole header within the header time, however slowly it trickles in.
  void ReadHeader() {
    parser_.emplace(limits_);
    Tcp().expires_after(limits_.headerTimeout);
    http::async_read_header(
        stream_, buffer_, *parser_,
        [self = this->shared_from_this()](error_code ec, std::size_t) { self->OnHeader(ec); });
  }

  void OnHeader(error_code ec) {
    if (ec) {
      Fail(ec);
      return;
    }
    if (parser_->is_done()) {
      Dispatch();
      return;
    }
    const std::string expect = parser_->request.Header("Expect");
    if (expect.size() == 12 && !CaseLess()(expect, "100-continue") &&
        !CaseLess()("100-continue", expect)) {
      Tcp().expires_after(limits_.writeTimeout);
      net::async_write(stream_, net::buffer(kContinue, sizeof kContinue - 1),
                       [self = this->shared_from_this()](error_code error, std::size_t) {
                         if (error) {
                           self->Close();
                         } else {
                           self->ReadBody();
                         }
                       });
      return;
    }
    ReadBody();
  }

  void ReadBody() {
    Tcp().expires_after(limits_.bodyTimeout);
    http::async_read(stream_, buffer_, *parser_,
                     [self = this->shared_from_this()](error_code ec, std::size_t) {
                       if (ec) {
                         self->Fail(ec);
                       } else {
                         self->Dispatch();
                       }
                     });
  }

  void Fail(error_code ec) {
    if (const auto refusal = RefusalOf(ec, *parser_, limits_)) {
      Refuse(*refusal);
    } else {
      Close();
    }
  }

  void Dispatch() {
    keepAlive_ = parser_->keep_alive();
    head_ = parser_->request.method == "HEAD";
    HttpRequest request = std::move(parser_->request);
    parser_.reset();
    DecodeTarget(request);
    request.client = address_;
    Tcp().expires_never();
    net::post(*server_.workers, [self = this->shared_from_this(),
                                 request = std::move(request)]() mutable {
      HttpResponse response;
      try {
        response = self->server_.handler(std::move(request));
      } catch (...) {
        response = ErrorReply(500, "internal error");
        Finish(response);
      }
      net::post(self->stream_.get_executor(), [self, response = std::move(response)]() mutable {
        self->Answer(std::move(response), false);
      });
    });
  }

  template <class Message>
  void Head(Message& message, const HttpResponse& response) {
    message.result(static_cast<unsigned>(response.status));
    for (const auto& [name, value] : response.headers) {
      message.set(name, value);
    }
    if (!response.contentType.empty()) {
      message.set(http::field::content_type, response.contentType);
    }
  }

  void Answer(HttpResponse response, bool linger) {
    if (response.stream) {
      StartStream(std::move(response));
      return;
    }
    auto message = std::make_shared<http::response<http::string_body>>();
    Head(*message, response);
    message->keep_alive(keepAlive_);
    message->content_length(response.body.size());
    if (!head_) {
      message->body() = std::move(response.body);
    }
    Tcp().expires_after(limits_.writeTimeout);
    http::async_write(
        stream_, *message,
        [self = this->shared_from_this(), message, linger](error_code ec, std::size_t) {
          if (ec) {
            self->Close();
          } else if (linger) {
            self->Linger();
          } else if (!self->keepAlive_) {
            self->Close();
          } else {
            self->AwaitRequest();
          }
        });
  }

  // A request the transport turns away before any handler: the answer, then the connection
  // goes.
  void Refuse(const Refusal& refusal) {
    keepAlive_ = false;
    head_ = false;
    HttpResponse response = ErrorReply(refusal.status, refusal.message);
    Finish(response);
    Answer(std::move(response), true);
  }

  void Linger() {
    error_code ignored;
    Tcp().socket().shutdown(tcp::socket::shutdown_send, ignored);
    lingerUntil_ = std::chrono::steady_clock::now() + kLingerTime;
    Drain();
  }

  void Drain() {
    buffer_.consume(buffer_.size());
    Tcp().expires_at(lingerUntil_);
    stream_.async_read_some(buffer_.prepare(kReadBytes),
                            [self = this->shared_from_this()](error_code ec, std::size_t n) {
                              self->lingered_ += n;
                              if (ec || self->lingered_ > kLingerBytes) {
                                self->Close();
                              } else {
                                self->Drain();
                              }
                            });
  }

  void StartStream(HttpResponse response) {
    auto header = std::make_shared<http::response<http::empty_body>>();
    Head(*header, response);
    header->chunked(true);
    header->keep_alive(false);
    auto serializer = std::make_shared<http::response_serializer<http::empty_body>>(*header);
    Tcp().expires_after(limits_.writeTimeout);
    http::async_write_header(
        stream_, *serializer,
        [self = this->shared_from_this(), header, serializer,
         provider = std::move(response.stream)](error_code ec, std::size_t) mutable {
          if (ec) {
            self->Close();
            return;
          }
          self->WatchClient();
          self->server_.RunStream(self, std::move(provider));
        });
  }

  // A read stays pending while a stream runs: it ends when the client closes its end.
  void WatchClient() {
    buffer_.consume(buffer_.size());
    Tcp().expires_never();
    stream_.async_read_some(buffer_.prepare(kReadBytes),
                            [self = this->shared_from_this()](error_code ec, std::size_t n) {
                              if (ec) {
                                self->clientGone_ = true;
                                return;
                              }
                              self->buffer_.commit(n);
                              self->WatchClient();
                            });
  }

  void Close() {
    error_code ignored;
    Tcp().socket().shutdown(tcp::socket::shutdown_both, ignored);
    Tcp().close();
  }

  HttpServer::Impl& server_;
  const HttpLimits& limits_;
  std::shared_ptr<ssl::context> context_;  // the TLS one, kept as long as the connection
  Stream stream_;
  beast::flat_buffer buffer_;
  std::string address_;
  std::optional<RequestParser> parser_;
  bool keepAlive_ = false;
  bool head_ = false;
  std::atomic<bool> clientGone_{false};
  std::chrono::steady_clock::time_point lingerUntil_;
  std::size_t lingered_ = 0;
};

class ChunkWriter final : public StreamWriter {
 public:
  ChunkWriter(HttpServer::Impl& server, std::shared_ptr<StreamSink> session)
      : server_(server), session_(std::move(session)) {}

  bool Write(std::string_view chunk) override {
    if (!Open()) {
      return false;
    }
    if (chunk.empty()) {
      return true;
    }
    auto done = std::make_shared<std::promise<bool>>();
    std::future<bool> written = done->get_future();
    session_->WriteChunk(std::make_shared<std::string>(chunk), done);
    // The write's own deadline closes the connection; this wait only stops early for Stop().
    const auto until = std::chrono::steady_clock::now() + server_.limits.writeTimeout + 1s;
    while (written.wait_for(100ms) != std::future_status::ready) {
      if (server_.stopping || std::chrono::steady_clock::now() > until) {
        return false;
      }
    }
    return written.get();
  }
  bool Open() const override { return !server_.stopping && !session_->Gone(); }

 private:
  HttpServer::Impl& server_;
  std::shared_ptr<StreamSink> session_;
};

}  // namespace

void HttpServer::Impl::Accept() {
  acceptor.async_accept(net::make_strand(ioc), [this](error_code ec, tcp::socket socket) {
    if (stopping || !acceptor.is_open() || ec == net::error::operation_aborted) {
      return;
    }
    if (ec) {
      // Out of descriptors, say: try again in a moment instead of spinning.
      retry.expires_after(100ms);
      retry.async_wait([this](error_code) { Accept(); });
      return;
    }
    Admit(std::move(socket));
    Accept();
  });
}

void HttpServer::Impl::Admit(tcp::socket socket) {
  error_code ec;
  const tcp::endpoint remote = socket.remote_endpoint(ec);
  if (ec) {
    return;
  }
  std::string address = remote.address().to_string();
  {
    std::lock_guard lock(mutex);
    std::size_t& fromThere = perAddress[address];
    if (open >= limits.connections || fromThere >= limits.perAddress) {
      if (fromThere == 0) {
        perAddress.erase(address);
      }
      socket.close(ec);
      return;
    }
    ++open;
    ++fromThere;
  }
  if (tls) {
    std::make_shared<Session<kTls>>(*this, std::move(socket), std::move(address), tls->Context())
        ->Start();
  } else {
    std::make_shared<Session<kPlain>>(*this, std::move(socket), std::move(address), nullptr)
        ->Start();
  }
}

void HttpServer::Impl::Release(const std::string& address) {
  std::lock_guard lock(mutex);
  --open;
  const auto found = perAddress.find(address);
  if (found != perAddress.end() && --found->second == 0) {
    perAddress.erase(found);
  }
}

void HttpServer::Impl::RunStream(std::shared_ptr<StreamSink> session, StreamProvider provider) {
  {
    std::lock_guard lock(mutex);
    ++streams;
  }
  auto body = [this, session, provider = std::move(provider)]() mutable {
    {
      ChunkWriter writer(*this, session);
      while (writer.Open() && provider(writer)) {
      }
      session->EndStream();
      session.reset();
      provider = nullptr;
    }
    std::lock_guard lock(mutex);
    --streams;
    streamsDone.notify_all();
  };
  try {
    std::thread(std::move(body)).detach();
  } catch (const std::system_error&) {
    session->EndStream();
    std::lock_guard lock(mutex);
    --streams;
  }
}

void HttpServer::Impl::RunIo() {
  for (;;) {
    try {
      ioc.run();
      return;
    } catch (const std::exception& e) {
      // One connection's failure (out of memory, say) ends that connection only.
      std::fprintf(stderr, "velkor-gateway: HTTP: %s\n", e.what());
    }
  }
}

HttpServer::HttpServer(Handler handler, HttpLimits limits)
    : impl_(std::make_unique<Impl>(std::move(handler), limits)) {}

HttpServer::~HttpServer() = default;

std::optional<std::uint16_t> HttpServer::Bind(const std::string& host, std::uint16_t port) {
  error_code ec;
  const net::ip::address address = net::ip::make_address(host, ec);
  if (ec) {
    return std::nullopt;
  }
  const tcp::endpoint endpoint(address, port);
  tcp::acceptor& acceptor = impl_->acceptor;
  acceptor.open(endpoint.protocol(), ec);
  if (!ec) {
    acceptor.set_option(net::socket_base::reuse_address(true), ec);
  }
  if (!ec) {
    acceptor.bind(endpoint, ec);
  }
  if (!ec) {
    acceptor.listen(net::socket_base::max_listen_connections, ec);
  }
  if (ec) {
    error_code ignored;
    acceptor.close(ignored);
    return std::nullopt;
  }
  return acceptor.local_endpoint(ec).port();
}

void HttpServer::UseTls(std::shared_ptr<TlsCredentials> tls) {
  impl_->tls = std::move(tls);
}

void HttpServer::Serve() {
  Impl& s = *impl_;
  if (s.stopping) {
    return;
  }
  s.workers.emplace(s.limits.workers);
  auto work = net::make_work_guard(s.ioc);
  net::post(s.acceptor.get_executor(), [&s] { s.Accept(); });
  std::vector<std::thread> threads;
  for (std::size_t i = 1; i < s.limits.ioThreads; ++i) {
    threads.emplace_back([&s] { s.RunIo(); });
  }
  s.RunIo();
  for (std::thread& thread : threads) {
    thread.join();
  }
  {
    std::unique_lock lock(s.mutex);
    s.streamsDone.wait(lock, [&] { return s.streams == 0; });
  }
  s.workers->stop();
  s.workers->join();
}

void HttpServer::Stop() {
  Impl& s = *impl_;
  s.stopping = true;
  s.ioc.stop();
}

ParsedRequest ParseRequest(std::string_view bytes, const HttpLimits& limits) {
  ParsedRequest parsed;
  RequestParser parser(limits);
  parser.eager(true);
  error_code ec;
  std::size_t used = 0;
  while (!ec && !parser.is_done()) {
    const std::size_t n =
        parser.put(net::const_buffer(bytes.data() + used, bytes.size() - used), ec);
    used += n;
    if (ec == http::error::need_more || (!ec && n == 0)) {
      ec = {};
      parser.put_eof(ec);
      break;
    }
  }
  if (!ec && parser.is_done()) {
    parsed.request = std::move(parser.request);
    DecodeTarget(*parsed.request);
    return parsed;
  }
  const auto refusal = RefusalOf(ec, parser, limits);
  parsed.status = refusal ? refusal->status : 400;
  parsed.error = refusal ? refusal->message : "incomplete request";
  return parsed;
}

}  // namespace velkor::gateway
