// Independent reliable-stream peer (kcp-go) behind a seeded impairment proxy, for interop tests.
package main

import (
	"crypto/sha256"
	"encoding/hex"
	"flag"
	"fmt"
	"io"
	"math/rand"
	"net"
	"os"
	"sync"
	"time"

	kcp "github.com/xtaci/kcp-go"
)

const conv = 0x74766331

type impairment struct {
	loss, reorder, dup float64
	garbageEvery        int
	mu                  sync.Mutex
	rng                 *rand.Rand
}

func (im *impairment) roll() float64 {
	im.mu.Lock()
	defer im.mu.Unlock()
	return im.rng.Float64()
}

// forward copies datagrams from in to out (sending to dst() when set), dropping,
// duplicating and holding back some of them.
func (im *impairment) forward(in, out *net.UDPConn, dst func() *net.UDPAddr, learn func(*net.UDPAddr), garbage bool) {
	buf := make([]byte, 65536)
	var held []byte
	count := 0
	for {
		n, from, err := in.ReadFromUDP(buf)
		if err != nil {
			return
		}
		if learn != nil {
			learn(from)
		}
		to := dst()
		if to == nil {
			continue
		}
		pkt := append([]byte(nil), buf[:n]...)
		count++
		if garbage && im.garbageEvery > 0 && count%im.garbageEvery == 0 {
			for _, g := range garbageDatagrams(pkt) {
				out.WriteToUDP(g, to)
			}
		}
		if im.roll() < im.loss {
			continue
		}
		if im.roll() < im.reorder && held == nil {
			held = pkt
			continue
		}
		out.WriteToUDP(pkt, to)
		if im.roll() < im.dup {
			out.WriteToUDP(pkt, to)
		}
		if held != nil {
			out.WriteToUDP(held, to)
			held = nil
		}
	}
}

// garbageDatagrams returns datagrams a receiver must ignore: short, another conversation,
// an unknown command, and a segment whose length runs past the datagram.
func garbageDatagrams(sample []byte) [][]byte {
	var out [][]byte
	out = append(out, []byte{0x31, 0x63, 0x76})
	if len(sample) >= 24 {
		wrong := append([]byte(nil), sample...)
		wrong[0] ^= 0xFF
		out = append(out, wrong)
		bad := append([]byte(nil), sample[:24]...)
		bad[4] = 0x99
		out = append(out, bad)
		trunc := append([]byte(nil), sample[:24]...)
		trunc[4] = 81
		trunc[20], trunc[21], trunc[22], trunc[23] = 0xFF, 0x00, 0x00, 0x00
		out = append(out, trunc)
	}
	return out
}

func main() {
	size := flag.Int("bytes", 1<<20, "bytes to send and to expect")
	loss := flag.Float64("loss", 0, "loss probability per datagram and direction")
	reorder := flag.Float64("reorder", 0, "probability that a datagram is held back behind the next")
	dup := flag.Float64("dup", 0, "duplication probability")
	seed := flag.Int64("seed", 1, "seed of the impairment and of the data")
	garbageEvery := flag.Int("garbage-every", 0, "inject garbage toward the tested side every N datagrams")
	timeout := flag.Duration("timeout", 120*time.Second, "give up after this long")
	flag.Parse()

	lo := net.IPv4(127, 0, 0, 1)
	outer, err := net.ListenUDP("udp", &net.UDPAddr{IP: lo})
	check(err)
	inner, err := net.ListenUDP("udp", &net.UDPAddr{IP: lo})
	check(err)
	peerConn, err := net.ListenUDP("udp", &net.UDPAddr{IP: lo})
	check(err)

	im := &impairment{loss: *loss, reorder: *reorder, dup: *dup, garbageEvery: *garbageEvery,
		rng: rand.New(rand.NewSource(*seed))}
	var mu sync.Mutex
	var tested *net.UDPAddr
	peerAddr := peerConn.LocalAddr().(*net.UDPAddr)
	go im.forward(outer, inner, func() *net.UDPAddr { return peerAddr }, func(a *net.UDPAddr) {
		mu.Lock()
		tested = a
		mu.Unlock()
	}, false)
	go im.forward(inner, outer, func() *net.UDPAddr {
		mu.Lock()
		defer mu.Unlock()
		return tested
	}, nil, true)

	sess, err := kcp.NewConn3(conv, inner.LocalAddr(), nil, 0, 0, peerConn)
	check(err)
	sess.SetStreamMode(true)
	sess.SetWindowSize(1024, 1024)
	sess.SetNoDelay(1, 10, 2, 1)
	sess.SetMtu(1200)

	fmt.Printf("PORT %d\n", outer.LocalAddr().(*net.UDPAddr).Port)
	os.Stdout.Sync()

	data := make([]byte, *size)
	rand.New(rand.NewSource(*seed ^ 0x5eed)).Read(data)
	sent := sha256.Sum256(data)

	deadline := time.Now().Add(*timeout)
	sess.SetDeadline(deadline)
	var wg sync.WaitGroup
	wg.Add(1)
	var writeErr error
	go func() {
		defer wg.Done()
		_, writeErr = sess.Write(data)
	}()
	got := make([]byte, *size)
	_, readErr := io.ReadFull(sess, got)
	wg.Wait()
	if readErr != nil || writeErr != nil {
		fmt.Printf("ERROR read=%v write=%v\n", readErr, writeErr)
		os.Exit(1)
	}
	recv := sha256.Sum256(got)
	fmt.Printf("SENT %s\nRECV %s\n", hex.EncodeToString(sent[:]), hex.EncodeToString(recv[:]))
	os.Stdout.Sync()
	// Keep acknowledging until the tested side says it is done (stdin closes).
	sess.SetDeadline(time.Time{})
	io.Copy(io.Discard, os.Stdin)
	sess.Close()
}

func check(err error) {
	if err != nil {
		fmt.Println("ERROR", err)
		os.Exit(1)
	}
}
