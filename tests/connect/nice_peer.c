/* Independent ICE peer (libnice, controlling) for the agent tests: prints its description,
 * reads ours from stdin, then echoes every datagram back and reports its state changes. */
#include <nice/agent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static GMainLoop *loop;
static NiceAgent *agent;
static guint stream_id;
static int echoed;

static void on_gathering_done(NiceAgent *a, guint stream, gpointer data) {
  gchar *ufrag = NULL, *pwd = NULL;
  (void)data;
  nice_agent_get_local_credentials(a, stream, &ufrag, &pwd);
  printf("a=ice-ufrag:%s\na=ice-pwd:%s\n", ufrag, pwd);
  GSList *cands = nice_agent_get_local_candidates(a, stream, 1);
  for (GSList *i = cands; i; i = i->next) {
    gchar *line = nice_agent_generate_local_candidate_sdp(a, (NiceCandidate *)i->data);
    printf("%s\n", line);
    g_free(line);
  }
  g_slist_free_full(cands, (GDestroyNotify)nice_candidate_free);
  printf("a=end-of-candidates\nEND\n");
  fflush(stdout);
  g_free(ufrag);
  g_free(pwd);

  /* Our peer's answer: lines until END. */
  char line[1024];
  gchar *rufrag = NULL, *rpwd = NULL;
  GSList *remote = NULL;
  while (fgets(line, sizeof line, stdin)) {
    line[strcspn(line, "\r\n")] = 0;
    if (strcmp(line, "END") == 0) break;
    if (strncmp(line, "a=ice-ufrag:", 12) == 0) rufrag = g_strdup(line + 12);
    else if (strncmp(line, "a=ice-pwd:", 10) == 0) rpwd = g_strdup(line + 10);
    else if (strncmp(line, "a=candidate:", 12) == 0) {
      NiceCandidate *c = nice_agent_parse_remote_candidate_sdp(a, stream, line);
      if (c) remote = g_slist_append(remote, c);
    }
  }
  if (!rufrag || !rpwd) {
    fprintf(stderr, "nice: no credentials in the answer\n");
    exit(3);
  }
  nice_agent_set_remote_credentials(a, stream, rufrag, rpwd);
  int added = nice_agent_set_remote_candidates(a, stream, 1, remote);
  fprintf(stderr, "nice: %d remote candidates\n", added);
  g_slist_free_full(remote, (GDestroyNotify)nice_candidate_free);
  g_free(rufrag);
  g_free(rpwd);
}

static void on_state(NiceAgent *a, guint stream, guint component, guint state, gpointer data) {
  (void)a, (void)stream, (void)component, (void)data;
  printf("STATE %s\n", nice_component_state_to_string(state));
  fflush(stdout);
}

static void on_recv(NiceAgent *a, guint stream, guint component, guint len, gchar *buf, gpointer data) {
  (void)data;
  nice_agent_send(a, stream, component, len, buf);
  echoed++;
}

static gboolean on_timeout(gpointer data) {
  (void)data;
  g_main_loop_quit(loop);
  return FALSE;
}

int main(int argc, char **argv) {
  int seconds = argc > 1 ? atoi(argv[1]) : 20;
  loop = g_main_loop_new(NULL, FALSE);
  agent = nice_agent_new(g_main_loop_get_context(loop), NICE_COMPATIBILITY_RFC5245);
  g_object_set(agent, "controlling-mode", TRUE, "ice-tcp", FALSE, "upnp", FALSE, NULL);
  NiceAddress address;
  nice_address_init(&address);
  nice_address_set_from_string(&address, "127.0.0.1");
  nice_agent_add_local_address(agent, &address);
  g_signal_connect(agent, "candidate-gathering-done", G_CALLBACK(on_gathering_done), NULL);
  g_signal_connect(agent, "component-state-changed", G_CALLBACK(on_state), NULL);
  stream_id = nice_agent_add_stream(agent, 1);
  nice_agent_attach_recv(agent, stream_id, 1, g_main_loop_get_context(loop), on_recv, NULL);
  if (!nice_agent_gather_candidates(agent, stream_id)) {
    fprintf(stderr, "nice: gathering failed\n");
    return 2;
  }
  g_timeout_add_seconds(seconds, on_timeout, NULL);
  g_main_loop_run(loop);
  printf("ECHOED %d\n", echoed);
  fflush(stdout);
  g_object_unref(agent);
  g_main_loop_unref(loop);
  return 0;
}
