#pragma once
// The console's JSON API: every action of every page is one route here, registered by the
// page's own source pair, with a one-line summary that the API page lists for scripting.
// The web server hands each request under /api/ to the route of its method and path; tests
// call routes directly, without a web server.
//
// Routes are registered once at start-up (one thread); afterwards Find and Routes are safe
// from any thread. Handlers run on the web server's threads and reach the server manager only
// through ConsoleOwner::Call.
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace tw {

struct ApiRequest {
  std::string method;
  std::string path;
  nlohmann::json body;  // the parsed JSON body of a POST; null without one
  std::map<std::string, std::string> query;

  // A query value, or fallback when absent.
  std::string Query(const std::string& name, const std::string& fallback = {}) const;
};

struct ApiReply {
  int status = 200;
  nlohmann::json body = nlohmann::json::object();
  // When set, the reply is this text with this content type instead of the JSON body.
  std::string text;
  std::string textType;

  static ApiReply Json(nlohmann::json body, int status = 200);
  static ApiReply Error(int status, std::string message);
  static ApiReply Text(std::string text, std::string type = "text/plain; charset=utf-8");
};

using ApiHandler = std::function<ApiReply(const ApiRequest&)>;

struct ApiRoute {
  std::string method;  // "GET" or "POST"
  std::string path;    // "/api/servers/start"
  std::string summary;
  ApiHandler handler;  // empty for a route the web server serves itself (the event stream)
};

class ApiRouter {
 public:
  void Get(std::string path, std::string summary, ApiHandler handler);
  void Post(std::string path, std::string summary, ApiHandler handler);
  // Documents a route served elsewhere (the event stream).
  void Document(std::string method, std::string path, std::string summary);

  const ApiRoute* Find(std::string_view method, std::string_view path) const;
  const std::vector<ApiRoute>& Routes() const { return routes_; }

  // Runs the route of the request: 404 for an unknown path, 405 for a known path with
  // another method.
  ApiReply Dispatch(const ApiRequest& request) const;

 private:
  std::vector<ApiRoute> routes_;
};

// A JSON body's boolean or string field with a check, for handlers: false when absent or of
// another type.
bool BodyBool(const nlohmann::json& body, const char* name, bool* value);
bool BodyString(const nlohmann::json& body, const char* name, std::string* value);

}  // namespace tw
