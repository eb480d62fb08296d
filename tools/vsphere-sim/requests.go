package main

// The web service's requests are counted (GET /brennow/requests), so that a test can tell that a
// check sent nothing at all, not even a login.

import (
	"fmt"
	"net/http"
	"strings"
	"sync/atomic"
)

var requests atomic.Int64

func countRequests(next http.Handler) http.Handler {
	return http.HandlerFunc(func(w http.ResponseWriter, r *http.Request) {
		if !strings.HasPrefix(r.URL.Path, "/brennow/") {
			requests.Add(1)
		}
		next.ServeHTTP(w, r)
	})
}

func sentRequests(w http.ResponseWriter, _ *http.Request) {
	w.Header().Set("Content-Type", "text/plain")
	fmt.Fprintf(w, "%d", requests.Load())
}
