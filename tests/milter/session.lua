-- One mail server session against orvamilter, run by miltertest:
--   miltertest -s session.lua -D socket=unix:PATH -D body=FILE -D expect=... [...]
-- Variables:
--   socket  the filter's socket
--   body    a file whose bytes are the message body (CR LF lines)
--   id      the queue id (default TEST)
--   ctype   a Content-Type header, when given
--   forge   when set, the message brings an X-Virus-Status header of its own
--   auth    the sender's login ({auth_authen}), when given
--   client  the client's address ({client_addr}, default 192.0.2.1)
--   rcpt    the recipients, separated by commas (default rcpt@example.org)
--   mode    the filter's header mode: replace (default), add or off
--   show    when set, the answer is printed once it has been checked
--   expect  accept    the message is taken; its X-Virus-Status is `status`, and
--                     X-Virus-Scanned is added unless `status` is UNSCANNED ...
--           quarantine
--                     the message is taken and held with `status` as the
--                     reason, with the headers as for accept
--           reject, tempfail
--                     the reply is `reply`: "CODE XCODE TEXT"
--           discard   the message is taken and thrown away
--           abort     the mail server gives the message up after its body
--           lost      the mail server's connection breaks after the body
-- Prints "FAIL: ..." and exits 1 when the filter answers otherwise.

local function check(condition, what)
    if not condition then error(what, 0) end
end

local function step(result, what)
    check(result == nil, what .. " failed: " .. tostring(result))
end

local function session()
    local conn = mt.connect(socket, 100, 0.05)
    check(conn ~= nil, "cannot connect to " .. socket)
    -- The filter asks for neither the connection nor HELO.
    check(mt.test_option(conn, SMFIP_NOCONNECT) and mt.test_option(conn, SMFIP_NOHELO),
          "the filter asks for the connect and HELO steps")
    local macros = {"i", id or "TEST", "{client_addr}", client or "192.0.2.1",
                    "{mail_addr}", "sender@example.org"}
    if auth then
        table.insert(macros, "{auth_authen}")
        table.insert(macros, auth)
    end
    -- A filter that leaves MAIL FROM out reads these macros at the end of
    -- the message (as a mail server then sends them).
    step(mt.macro(conn, SMFIC_MAIL, (table.unpack or unpack)(macros)), "macro")
    if not mt.test_option(conn, SMFIP_NOMAIL) then
        step(mt.mailfrom(conn, "<sender@example.org>"), "mailfrom")
    end
    for address in string.gmatch(rcpt or "rcpt@example.org", "[^,]+") do
        step(mt.rcptto(conn, "<" .. address .. ">"), "rcptto " .. address)
    end
    local headers = {{"From", "sender@example.org"}, {"To", "rcpt@example.org"},
                     {"Subject", "test " .. (id or "")}, {"MIME-Version", "1.0"}}
    if ctype then table.insert(headers, {"Content-Type", ctype}) end
    if forge then table.insert(headers, {"X-Virus-Status", "OK"}) end
    for _, header in ipairs(headers) do
        step(mt.header(conn, header[1], header[2]), "header " .. header[1])
    end
    if not mt.test_option(conn, SMFIP_NOEOH) then step(mt.eoh(conn), "eoh") end
    step(mt.bodyfile(conn, body), "body")
    if expect == "abort" then
        step(mt.abort(conn), "abort")
        mt.disconnect(conn)
        return
    end
    if expect == "lost" then
        mt.disconnect(conn, false)
        return
    end

    step(mt.eom(conn), "eom")
    local got = mt.getreply(conn)
    if expect == "quarantine" then
        check(mt.eom_check(conn, MT_QUARANTINE, status), "not quarantined with " .. status)
    end
    if mode == "off" then
        check(got == SMFIR_CONTINUE or got == SMFIR_ACCEPT, "reply " .. got .. ", not accept")
        check(not mt.eom_check(conn, MT_HDRADD) and not mt.eom_check(conn, MT_HDRDELETE),
              "headers changed with the header mode off")
    elseif expect == "accept" or expect == "quarantine" then
        check(got == SMFIR_CONTINUE or got == SMFIR_ACCEPT, "reply " .. got .. ", not accept")
        -- A mail server that passes header values with their leading blank
        -- takes the filter's values as they are: they must carry it too.
        local blank = mt.test_option(conn, SMFIP_HDR_LEADSPC) and " " or ""
        local added = mt.getheader(conn, "X-Virus-Status", 0)
        check(added == blank .. status and
              mt.eom_check(conn, MT_HDRADD, "X-Virus-Status", blank .. status),
              "X-Virus-Status:" .. tostring(added) .. ", not " .. blank .. status)
        local scanned = string.sub(status, 1, 9) ~= "UNSCANNED" and
                        string.sub(status, 1, 7) ~= "SKIPPED"
        check(mt.eom_check(conn, MT_HDRADD, "X-Virus-Scanned") == scanned,
              "X-Virus-Scanned " .. (scanned and "missing" or "added"))
        check(not scanned or mt.getheader(conn, "X-Virus-Scanned", 0):sub(1, #blank + 10) == blank .. "orvamilter",
              "X-Virus-Scanned:" .. tostring(mt.getheader(conn, "X-Virus-Scanned", 0)))
        if forge then
            check(mt.eom_check(conn, MT_HDRDELETE, "X-Virus-Status") == (mode ~= "add"),
                  "the message's own X-Virus-Status is " .. (mode == "add" and "removed" or "kept"))
        end
        if show then
            print("accepted, with the headers added:")
            print("  X-Virus-Status:" .. (blank == "" and " " or "") .. added)
            if scanned then
                print("  X-Virus-Scanned:" .. (blank == "" and " " or "") ..
                      mt.getheader(conn, "X-Virus-Scanned", 0))
            end
        end
    elseif expect == "discard" then
        check(got == SMFIR_DISCARD, "reply " .. got .. ", not discard")
    else
        local code, xcode, text = string.match(reply, "^(%d+) (%S+) (.*)$")
        check(got == SMFIR_REPLYCODE, "reply " .. got .. ", not a reply code")
        check(mt.eom_check(conn, MT_SMTPREPLY, code, xcode, text), "the reply is not " .. reply)
        check(not mt.eom_check(conn, MT_HDRADD), "a header was added")
        if show then
            print((expect == "reject" and "rejected" or "deferred") .. "; the mail server answers: " .. reply)
        end
    end
    mt.disconnect(conn)
end

local ok, failure = pcall(session)
if not ok then
    print("FAIL: " .. tostring(failure))
    os.exit(1)
end
