// WebGuard: what a request must show before the web page answers it, whatever it asks for.
//
// Contract:
// - The Host it was sent to must be a name the server answers to: an address in numbers
//   (IPv4, or IPv6 in brackets), localhost, or one of Hosts (any case; the port after it is
//   not looked at). Any other name is someone else's name that leads here (DNS rebinding): a
//   page of that name must get nothing, 421.
// - A request that writes (any method but GET and HEAD), the login included, must not come
//   from another site: an Origin header, when there is one, must be the page's own (its
//   scheme and the Host the request was sent to), and a Sec-Fetch-Site header, when there is
//   one, must say same-origin or none; else 403. Scripts that send neither are no browser
//   carrying someone's cookie, and are let through.
// - A body, and the login's always, must be JSON (Content-Type application/json, with or
//   without parameters): the other types are the ones a page elsewhere may send without the
//   browser asking first; else 415.
// - Pure.
#pragma once

#include "web/WebApi.h"

#include <string>
#include <vector>

// True when Request may be answered; else Refusal is the answer.
bool AdmitWebRequest(const TWebRequest& Request, const std::vector<std::string>& Hosts, bool Secure,
                     TWebResponse& Refusal);
