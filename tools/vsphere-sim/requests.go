package main

// What the simulator does for each request before the library sees it: it counts the web-service
// requests (GET /brennow/requests), so that a test can tell that a check sent nothing at all, not
// even a login; and with -quickack it acknowledges a request's headers at once. Wine's WinHTTP
// writes a request's headers and body apart and waits for the headers' acknowledgement, which
// Linux delays by some 40 ms on loopback: every request then costs that much.

import (
	"context"
	"crypto/tls"
	"flag"
	"fmt"
	"net"
	"net/http"
	"strings"
	"sync/atomic"
	"syscall"

	"github.com/vmware/govmomi/simulator"
)

var (
	quickAck = flag.Bool("quickack", false,
		"acknowledge each request's headers at once (clients that write headers and body apart do not wait 40 ms a request)")
	requests atomic.Int64
)

type connectionKey struct{}

// instrument wraps the server's handler; call it before the first connection.
func instrument(server *simulator.Server) {
	config := server.Config
	if *quickAck {
		config.ConnContext = func(ctx context.Context, c net.Conn) context.Context {
			return context.WithValue(ctx, connectionKey{}, c)
		}
	}
	next := config.Handler
	config.Handler = http.HandlerFunc(func(w http.ResponseWriter, r *http.Request) {
		if !strings.HasPrefix(r.URL.Path, "/brennow/") {
			requests.Add(1)
		}
		// The headers have been read, the body not yet: the acknowledgement goes out now.
		if c, ok := r.Context().Value(connectionKey{}).(net.Conn); ok {
			acknowledgeNow(c)
		}
		next.ServeHTTP(w, r)
	})
}

// acknowledgeNow sends what the connection has received and not yet acknowledged (TCP_QUICKACK
// sends a pending acknowledgement at once).
func acknowledgeNow(c net.Conn) {
	if secure, ok := c.(*tls.Conn); ok {
		c = secure.NetConn()
	}
	tcp, ok := c.(*net.TCPConn)
	if !ok {
		return
	}
	raw, err := tcp.SyscallConn()
	if err != nil {
		return
	}
	raw.Control(func(fd uintptr) {
		syscall.SetsockoptInt(int(fd), syscall.IPPROTO_TCP, syscall.TCP_QUICKACK, 1)
	})
}

func sentRequests(w http.ResponseWriter, _ *http.Request) {
	w.Header().Set("Content-Type", "text/plain")
	fmt.Fprintf(w, "%d", requests.Load())
}
