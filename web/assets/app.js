// Ringlet's web page: log in, watch the lines and the calls as they come, look through the
// history, name a caller, block or unblock a number.
//
// Every text that comes from the server (numbers, names, contact and line names, error texts)
// is a caller's or a file's and goes into the page as a text node, never as markup. The page
// keeps the CSRF token in memory only; the session itself is an HttpOnly cookie.
"use strict";

(function () {
  const PageSize = 50;

  const State = {
    csrf: "",
    offset: 0,
    more: false,
    filters: { q: "", since: "", until: "" },
    events: null,
    retry: 0,
    unseen: 0,
    loading: 0,
  };

  function $(id) {
    return document.getElementById(id);
  }

  // An element with a class and a text, both optional.
  function Element(tag, className, text) {
    const node = document.createElement(tag);
    if (className)
      node.className = className;
    if (text !== undefined && text !== null)
      node.textContent = String(text);
    return node;
  }

  function Text(value) {
    return document.createTextNode(value === undefined || value === null ? "" : String(value));
  }

  // ---- talking to the server -------------------------------------------------------------

  // Answers {status, data}; data is the parsed JSON body, or {} when there is none.
  async function Api(method, path, body) {
    const headers = {};
    if (body !== undefined)
      headers["Content-Type"] = "application/json";
    if (method !== "GET" && path !== "/api/login")
      headers["X-CSRF-Token"] = State.csrf;
    let answer;
    try {
      answer = await fetch(path, {
        method: method,
        headers: headers,
        body: body === undefined ? undefined : JSON.stringify(body),
        credentials: "same-origin",
        cache: "no-store",
      });
    } catch (error) {
      return { status: 0, data: { error: "The box cannot be reached." } };
    }
    let data = {};
    const type = answer.headers.get("Content-Type") || "";
    if (type.startsWith("application/json")) {
      try {
        data = await answer.json();
      } catch (error) {
        data = {};
      }
    }
    if (answer.status === 401 && path !== "/api/login" && path !== "/api/session")
      ShowLogin("Your session has ended; please log in again.");
    return { status: answer.status, data: data };
  }

  function ErrorText(answer, fallback) {
    const text = answer.data && typeof answer.data.error === "string" ? answer.data.error : "";
    return text || fallback + " (" + answer.status + ")";
  }

  // ---- messages ----------------------------------------------------------------------------

  function Tell(text, isError) {
    const message = $("message");
    message.textContent = text;
    message.classList.toggle("error", !!isError);
    message.hidden = false;
  }

  // ---- logging in and out ------------------------------------------------------------------

  function ShowLogin(reason) {
    State.csrf = "";
    StopEvents();
    $("monitor").hidden = true;
    $("logout").hidden = true;
    $("live").hidden = true;
    $("login").hidden = false;
    $("login-error").textContent = reason || "";
    $("password").value = "";
    $("password").focus();
  }

  function ShowMonitor(csrf) {
    State.csrf = csrf;
    $("login").hidden = true;
    $("monitor").hidden = false;
    $("logout").hidden = false;
    $("live").hidden = false;
    State.offset = 0;
    // The stream first: a call that comes while the list loads is not missed.
    StartEvents();
    LoadLines();
    LoadCalls();
  }

  async function OnLogin(event) {
    event.preventDefault();
    const button = $("login-button");
    button.disabled = true;
    $("login-error").textContent = "";
    const answer = await Api("POST", "/api/login", { password: $("password").value });
    button.disabled = false;
    $("password").value = "";
    if (answer.status === 200 && typeof answer.data.csrf === "string") {
      ShowMonitor(answer.data.csrf);
      return;
    }
    $("password").focus();
    if (answer.status === 401) {
      $("login-error").textContent = "Wrong password.";
    } else if (answer.status === 429) {
      $("login-error").textContent = ErrorText(answer, "Too many attempts; wait a little");
    } else {
      $("login-error").textContent = ErrorText(answer, "Logging in failed");
    }
  }

  async function OnLogout() {
    await Api("POST", "/api/logout");
    ShowLogin("You have logged out.");
  }

  async function CheckSession() {
    const answer = await Api("GET", "/api/session");
    if (answer.status === 200 && typeof answer.data.csrf === "string")
      ShowMonitor(answer.data.csrf);
    else
      ShowLogin("");
  }

  // ---- lines -------------------------------------------------------------------------------

  const LineStates = ["watching", "lost", "stopped"];

  function LineItem(line) {
    const state = LineStates.includes(line.state) ? line.state : "stopped";
    const item = Element("li", "line state-" + state);
    item.dataset.name = String(line.name);
    item.appendChild(Element("span", "line-name", line.name));
    item.appendChild(Element("span", "badge", state));
    return item;
  }

  function ShowLine(line) {
    const list = $("lines");
    const item = LineItem(line);
    for (const old of list.children) {
      if (old.dataset.name === item.dataset.name) {
        list.replaceChild(item, old);
        return;
      }
    }
    list.appendChild(item);
  }

  async function LoadLines() {
    const answer = await Api("GET", "/api/lines");
    if (answer.status !== 200 || !Array.isArray(answer.data.lines))
      return;
    $("lines").replaceChildren();
    answer.data.lines.forEach(ShowLine);
  }

  // ---- calls -------------------------------------------------------------------------------

  // What the table shows of a call: the contact's name before the line's.
  function NameOf(call) {
    return call.contact ? call.contact : call.shownName;
  }

  function Cell(label, className) {
    const cell = Element("td", className);
    cell.dataset.label = label;
    return cell;
  }

  function ActionButton(text, className, onClick) {
    const button = Element("button", className, text);
    button.type = "button";
    button.addEventListener("click", onClick);
    return button;
  }

  function CallRow(call) {
    const row = Element("tr", call.blocked ? "call blocked" : "call");
    row.dataset.id = String(call.id || 0);
    row.dataset.number = call.number || "";
    if (call.key !== undefined)
      row.dataset.key = String(call.line) + "\n" + String(call.key);

    const time = Cell("Time", "time");
    const stamp = Element("time", "", call.time);
    if (call.utc)
      stamp.setAttribute("datetime", String(call.utc));
    time.appendChild(stamp);
    row.appendChild(time);

    row.appendChild(Cell("Line", "line-cell")).appendChild(Text(call.line));
    row.appendChild(Cell("Number", "number")).appendChild(Text(call.shownNumber));

    const name = row.appendChild(Cell("Name", "name"));
    name.appendChild(Element("span", "caller", NameOf(call)));
    if (call.contact && call.shownName && call.shownName !== call.contact)
      name.appendChild(Element("span", "line-said", call.shownName));

    const state = row.appendChild(Cell("State", "state"));
    if (call.blocked)
      state.appendChild(Element("span", "badge blocked", "blocked"));
    else if (call.numberBlocked)
      state.appendChild(Element("span", "badge listed", "on block list"));

    const actions = row.appendChild(Cell("Actions", "actions"));
    if (call.number) {
      if (!call.contact)
        actions.appendChild(ActionButton("Add to contacts", "quiet add", () => AskContact(call)));
      if (call.numberBlocked)
        actions.appendChild(ActionButton("Unblock", "unblock", () => Unblock(call.number)));
      else
        actions.appendChild(ActionButton("Block", "danger block", () => Block(call.number)));
    }
    return row;
  }

  function ShowCalls(calls) {
    const rows = $("call-rows");
    rows.replaceChildren(...calls.map(CallRow));
    $("empty").hidden = calls.length > 0;
    $("newer").disabled = State.offset === 0;
    $("older").disabled = !State.more;
    $("page").textContent = calls.length
      ? "Calls " + (State.offset + 1) + "–" + (State.offset + calls.length)
      : "";
  }

  function Query(withPage) {
    const query = new URLSearchParams();
    for (const key of ["q", "since", "until"]) {
      if (State.filters[key])
        query.set(key, State.filters[key]);
    }
    if (withPage) {
      query.set("limit", String(PageSize));
      query.set("offset", String(State.offset));
    }
    return query.toString();
  }

  async function LoadCalls() {
    // Only the answer to the latest request is shown, whatever order the answers come in.
    const request = ++State.loading;
    const answer = await Api("GET", "/api/calls?" + Query(true));
    if (request !== State.loading)
      return;
    if (answer.status !== 200 || !Array.isArray(answer.data.calls)) {
      if (answer.status !== 401)
        Tell(ErrorText(answer, "The calls could not be read"), true);
      return;
    }
    State.more = !!answer.data.more;
    if (State.offset === 0)
      HideUnseen();
    ShowCalls(answer.data.calls);
  }

  // The day "YYYY-MM-DD" of a call's "dd/mm/yyyy  hh:mm:ss", in the box's own time.
  function DayOf(call) {
    const match = /^(\d\d)\/(\d\d)\/(\d{4})/.exec(String(call.time || ""));
    return match ? match[3] + "-" + match[2] + "-" + match[1] : "";
  }

  // Whether a call that just came belongs on the page as it is filtered now.
  function Matches(call) {
    const { q, since, until } = State.filters;
    const day = DayOf(call);
    if (since && day && day < since)
      return false;
    if (until && day && day > until)
      return false;
    if (!q)
      return true;
    const wanted = q.toLowerCase();
    return [call.number, call.name, call.shownNumber, call.shownName, call.contact].some(
      (text) => typeof text === "string" && text.toLowerCase().includes(wanted));
  }

  function SameCall(row, fresh) {
    if (fresh.dataset.key && row.dataset.key === fresh.dataset.key)
      return true;
    return fresh.dataset.id !== "0" && row.dataset.id === fresh.dataset.id;
  }

  function OnCall(event) {
    let call;
    try {
      call = JSON.parse(event.data);
    } catch (error) {
      return;
    }
    if (!call || typeof call !== "object" || !Matches(call))
      return;
    if (State.offset !== 0) {
      ShowUnseen();
      return;
    }
    const rows = $("call-rows");
    const fresh = CallRow(call);
    fresh.classList.add("fresh");
    for (const row of rows.children) {
      if (SameCall(row, fresh)) {
        rows.replaceChild(fresh, row);
        return;
      }
    }
    rows.insertBefore(fresh, rows.firstChild);
    while (rows.children.length > PageSize) {
      rows.removeChild(rows.lastChild);
      State.more = true;
    }
    $("older").disabled = !State.more;
    $("empty").hidden = true;
  }

  function ShowUnseen() {
    State.unseen += 1;
    const button = $("fresh");
    button.textContent =
      State.unseen === 1 ? "1 new call: show the newest" : State.unseen + " new calls: show the newest";
    button.hidden = false;
  }

  function HideUnseen() {
    State.unseen = 0;
    $("fresh").hidden = true;
  }

  // ---- the live stream ---------------------------------------------------------------------

  function SetLive(text, className) {
    const live = $("live");
    live.textContent = text;
    live.className = "live " + className;
  }

  function StartEvents() {
    StopEvents();
    const events = new EventSource("/api/events");
    State.events = events;
    SetLive("connecting…", "waiting");
    events.addEventListener("open", () => {
      State.retry = 0;
      SetLive("live", "on");
    });
    events.addEventListener("call", OnCall);
    events.addEventListener("line", (event) => {
      try {
        ShowLine(JSON.parse(event.data));
      } catch (error) {
        // A line report that is not JSON changes nothing on the page.
      }
    });
    events.addEventListener("error", () => {
      if (events.readyState !== EventSource.CLOSED) {
        SetLive("reconnecting…", "waiting");
        return;
      }
      // The server refused the stream (ended session, too many streams): check the session,
      // then try again a little later each time.
      SetLive("offline", "off");
      State.retry = Math.min(State.retry + 1, 6);
      window.setTimeout(Reconnect, 1000 * State.retry * State.retry);
    });
  }

  async function Reconnect() {
    if (!State.csrf)
      return;
    const answer = await Api("GET", "/api/session");
    if (!State.csrf)
      return;
    if (answer.status === 401) {
      ShowLogin("Your session has ended; please log in again.");
    } else if (answer.status === 200) {
      StartEvents();
      LoadLines();
      if (State.offset === 0)
        LoadCalls();
    } else {
      window.setTimeout(Reconnect, 1000 * State.retry * State.retry);
    }
  }

  function StopEvents() {
    if (State.events)
      State.events.close();
    State.events = null;
  }

  // ---- contacts and the block list ---------------------------------------------------------

  let ContactNumber = "";

  function AskContact(call) {
    ContactNumber = call.number;
    $("contact-number").textContent = call.shownNumber || call.number;
    $("contact-name").value = call.nameAbsent ? "" : call.name || "";
    $("contact-error").textContent = "";
    $("contact-dialog").showModal();
    $("contact-name").focus();
  }

  async function OnContactSave(event) {
    event.preventDefault();
    const name = $("contact-name").value.trim();
    if (!name) {
      $("contact-error").textContent = "Give the contact a name.";
      return;
    }
    const answer = await Api("POST", "/api/contacts", { name: name, number: ContactNumber });
    if (answer.status === 201 || answer.status === 200) {
      $("contact-dialog").close();
      Tell("Added " + name + " (" + ContactNumber + ") to the contacts.", false);
      LoadCalls();
    } else {
      $("contact-error").textContent = ErrorText(answer, "The contact could not be added");
    }
  }

  async function Block(number) {
    const answer = await Api("POST", "/api/block", { number: number });
    if (answer.status === 201 || answer.status === 200) {
      Tell("Blocked " + number + ": its calls are picked up and put down.", false);
      LoadCalls();
    } else {
      Tell(ErrorText(answer, "Blocking " + number + " failed"), true);
    }
  }

  async function Unblock(number) {
    const answer = await Api("DELETE", "/api/block/" + encodeURIComponent(number));
    if (answer.status === 204 || answer.status === 200) {
      Tell("Unblocked " + number + ".", false);
      LoadCalls();
    } else {
      Tell(ErrorText(answer, "Unblocking " + number + " failed"), true);
    }
  }

  // ---- filters and paging ------------------------------------------------------------------

  function OnFilter(event) {
    event.preventDefault();
    State.filters = {
      q: $("q").value.trim(),
      since: $("since").value,
      until: $("until").value,
    };
    State.offset = 0;
    UpdateCsvLink();
    LoadCalls();
  }

  function OnClear() {
    $("q").value = "";
    $("since").value = "";
    $("until").value = "";
    State.filters = { q: "", since: "", until: "" };
    State.offset = 0;
    UpdateCsvLink();
    LoadCalls();
  }

  function UpdateCsvLink() {
    const query = Query(false);
    $("csv").setAttribute("href", "/api/history.csv" + (query ? "?" + query : ""));
  }

  function Page(step) {
    State.offset = Math.max(0, State.offset + step * PageSize);
    LoadCalls();
  }

  // ---- start -------------------------------------------------------------------------------

  function Start() {
    $("login-form").addEventListener("submit", OnLogin);
    $("logout").addEventListener("click", OnLogout);
    $("filters").addEventListener("submit", OnFilter);
    $("clear").addEventListener("click", OnClear);
    $("newer").addEventListener("click", () => Page(-1));
    $("older").addEventListener("click", () => Page(1));
    $("fresh").addEventListener("click", () => {
      State.offset = 0;
      LoadCalls();
    });
    $("contact-form").addEventListener("submit", OnContactSave);
    $("contact-cancel").addEventListener("click", () => $("contact-dialog").close());
    CheckSession();
  }

  Start();
})();
