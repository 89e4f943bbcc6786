// Lets a program that cannot hand the peer its standard input and output (a Windows
// program under Wine starting this native binary) talk to it over one loopback TCP
// connection instead: "-control 127.0.0.1:PORT" as the first two arguments.
package main

import (
	"fmt"
	"net"
	"os"
	"time"
)

func init() {
	if len(os.Args) < 3 || os.Args[1] != "-control" {
		return
	}
	addr := os.Args[2]
	os.Args = append([]string{os.Args[0]}, os.Args[3:]...)
	if ip, _, err := net.SplitHostPort(addr); err != nil || !net.ParseIP(ip).IsLoopback() {
		fmt.Fprintln(os.Stderr, "control address must be on loopback:", addr)
		os.Exit(2)
	}
	conn, err := net.DialTimeout("tcp4", addr, 10*time.Second)
	if err != nil {
		fmt.Fprintln(os.Stderr, "control connection failed:", err)
		os.Exit(2)
	}
	f, err := conn.(*net.TCPConn).File()
	if err != nil {
		os.Exit(2)
	}
	conn.Close()
	// The connection's end is standard input's end: the peer then finishes as it does
	// when a test driver closes its stdin, so it never outlives the program that started it.
	os.Stdin = f
	os.Stdout = f
}
