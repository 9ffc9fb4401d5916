#include "console/api_router.h"

namespace tw {

std::string ApiRequest::Query(const std::string& name, const std::string& fallback) const {
  auto it = query.find(name);
  return it == query.end() ? fallback : it->second;
}

ApiReply ApiReply::Json(nlohmann::json body, int status) {
  ApiReply reply;
  reply.status = status;
  reply.body = std::move(body);
  return reply;
}

ApiReply ApiReply::Error(int status, std::string message) {
  ApiReply reply;
  reply.status = status;
  reply.body = {{"error", std::move(message)}};
  return reply;
}

ApiReply ApiReply::Text(std::string text, std::string type) {
  ApiReply reply;
  reply.text = std::move(text);
  reply.textType = std::move(type);
  return reply;
}

void ApiRouter::Get(std::string path, std::string summary, ApiHandler handler) {
  routes_.push_back({"GET", std::move(path), std::move(summary), std::move(handler)});
}

void ApiRouter::Post(std::string path, std::string summary, ApiHandler handler) {
  routes_.push_back({"POST", std::move(path), std::move(summary), std::move(handler)});
}

void ApiRouter::Document(std::string method, std::string path, std::string summary) {
  routes_.push_back({std::move(method), std::move(path), std::move(summary), {}});
}

const ApiRoute* ApiRouter::Find(std::string_view method, std::string_view path) const {
  for (const ApiRoute& route : routes_) {
    if (route.method == method && route.path == path) return &route;
  }
  return nullptr;
}

ApiReply ApiRouter::Dispatch(const ApiRequest& request) const {
  const ApiRoute* route = Find(request.method, request.path);
  if (route == nullptr || !route->handler) {
    for (const ApiRoute& other : routes_) {
      if (other.path == request.path) return ApiReply::Error(405, "method not allowed");
    }
    return ApiReply::Error(404, "no such API route");
  }
  return route->handler(request);
}

bool BodyBool(const nlohmann::json& body, const char* name, bool* value) {
  if (!body.is_object()) return false;
  auto it = body.find(name);
  if (it == body.end() || !it->is_boolean()) return false;
  *value = it->get<bool>();
  return true;
}

bool BodyString(const nlohmann::json& body, const char* name, std::string* value) {
  if (!body.is_object()) return false;
  auto it = body.find(name);
  if (it == body.end() || !it->is_string()) return false;
  *value = it->get<std::string>();
  return true;
}

}  // namespace tw
