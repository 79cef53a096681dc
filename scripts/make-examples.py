#!/usr/bin/env python3
"""Writes the example store under examples/store from the dialogue below.

The meetings are written as Quillet itself writes them (folder names in
America/Sao_Paulo time, sorted keys, one compact JSON object per transcript
line), so the store doubles as a fixture for tests and benchmarks.
"""
import json, os, random, shutil, uuid
from datetime import datetime, timedelta, timezone

ROOT = os.path.join(os.path.dirname(__file__), "..", "examples", "store")
SAO_PAULO = timezone(timedelta(hours=-3))
rng = random.Random(7)


def uid():
    return str(uuid.UUID(int=rng.getrandbits(128), version=4)).upper()


def iso(d):
    return d.strftime("%Y-%m-%dT%H:%M:%SZ")


def write_meeting(folder, meta, notes=None, enhanced=None, segments=None):
    path = os.path.join(ROOT, folder)
    os.makedirs(path, exist_ok=True)
    with open(os.path.join(path, "meta.json"), "w", encoding="utf-8") as f:
        f.write(json.dumps(meta, indent=2, sort_keys=True, ensure_ascii=False))
    with open(os.path.join(path, "notas.md"), "w", encoding="utf-8") as f:
        f.write(notes or "")
    if enhanced is not None:
        with open(os.path.join(path, "notas-ia.md"), "w", encoding="utf-8") as f:
            f.write(enhanced)
    if segments is not None:
        with open(os.path.join(path, "transcricao.jsonl"), "w", encoding="utf-8") as f:
            for s in segments:
                f.write(json.dumps(s, sort_keys=True, ensure_ascii=False, separators=(",", ":")) + "\n")


def seg(speaker, start, end, text):
    return {"id": uid(), "speaker": speaker, "start": round(start, 2), "end": round(end, 2), "text": text}


def meta(title, start, language, attendees, end=None, **extra):
    m = {"id": uid(), "title": title, "start": iso(start), "language": language, "attendees": attendees}
    if end:
        m["end"] = iso(end)
    m.update(extra)
    return m


def folder_name(start, title):
    return start.astimezone(SAO_PAULO).strftime("%Y-%m-%d %H%M") + " " + title


PLANNING = [
    ("outros", "Bom dia, pessoal. Vamos começar pelo orçamento do segundo trimestre."),
    ("eu", "Bom dia. Eu trouxe a planilha com os números de março."),
    ("outros", "Ótimo. A meta de receita continua em dois milhões?"),
    ("eu", "Continua, mas o time comercial pediu mais dois vendedores para chegar lá."),
    ("outros", "Isso aumenta o custo fixo. Precisamos ver se cabe no plano."),
    ("eu", "Cabe se adiarmos a migração do data center para julho."),
    ("outros", "Então fica decidido: migração em julho e contratação em abril."),
    ("eu", "Combinado. Eu atualizo a planilha e mando até sexta."),
]

ARCHITECTURE = [
    ("outros", "O serviço de pagamentos está com latência alta desde a última versão."),
    ("eu", "Eu vi nos gráficos, o pico acontece quando o cache expira."),
    ("outros", "Podemos aumentar o tempo de expiração do cache para dez minutos?"),
    ("eu", "Podemos, mas o saldo do cliente pode ficar desatualizado."),
    ("outros", "Então vamos invalidar o cache a cada transação confirmada."),
    ("eu", "Faz sentido. Quem cuida da fila de eventos?"),
    ("outros", "A Carla cuida da fila, ela volta de férias na segunda."),
    ("eu", "Vou escrever o documento de decisão de arquitetura hoje à tarde."),
    ("outros", "Precisamos também revisar os alertas do banco de dados."),
    ("eu", "Os alertas de disco estão disparando toda madrugada por causa do backup."),
    ("outros", "Vamos mover o backup para o réplica de leitura."),
    ("eu", "Boa ideia, isso tira a carga do primário."),
    ("outros", "E o teste de carga, alguém rodou depois da mudança?"),
    ("eu", "Ainda não, fica para quinta-feira com o time de plataforma."),
]


def main():
    shutil.rmtree(ROOT, ignore_errors=True)
    os.makedirs(ROOT)

    # 1. Portuguese, with enhanced notes.
    start = datetime(2025, 3, 10, 12, 30, tzinfo=timezone.utc)
    t, segments = 2.0, []
    for speaker, text in PLANNING:
        length = 2.5 + len(text) / 16
        segments.append(seg(speaker, t, t + length, text))
        t += length + 1.2
    write_meeting(
        folder_name(start, "Planejamento do trimestre"),
        meta("Planejamento do trimestre", start, "pt-BR", ["Ana Souza", "Bruno Lima"],
             end=start + timedelta(minutes=32), app="us.zoom.xos", enhancedWith="Anthropic · claude-opus-5-5"),
        notes="- orçamento Q2\n- contratar 2 vendedores?\n- migração DC\n",
        enhanced=("## Resumo\nO orçamento do segundo trimestre mantém a meta de receita e adia a migração "
                  "do data center para julho.\n\n## Decisões\n- **Migração do data center** em julho\n"
                  "- Contratação de dois vendedores em abril\n\n## Próximos passos\n"
                  "- [ ] Atualizar a planilha e enviar até sexta (eu)\n"),
        segments=segments)

    # 2. English, notes only: no transcript file at all.
    start = datetime(2025, 3, 12, 17, 0, tzinfo=timezone.utc)
    write_meeting(
        folder_name(start, "Customer call - Acme renewal"),
        meta("Customer call - Acme renewal", start, "en-US", ["Dana Whitaker"], calendarEventID="acme-renewal-0312"),
        notes="Acme wants a 3-year renewal.\nAsk legal about the data-processing addendum.\n")

    # 3. Portuguese, seventy minutes, with microphone echoes of the other side.
    start = datetime(2025, 3, 14, 13, 0, tzinfo=timezone.utc)
    t, segments = 1.0, []
    while t < 70 * 60:
        for speaker, text in ARCHITECTURE:
            length = 2.0 + len(text) / 15
            segments.append(seg(speaker, t, t + length, text))
            if speaker == "outros" and rng.random() < 0.35:
                # The laptop microphone hears the loudspeaker a moment later.
                lag = rng.uniform(0.2, 1.5)
                words = text.split()
                echo = " ".join(words[: max(3, len(words) - rng.randint(0, 2))])
                segments.append(seg("eu", t + lag, t + lag + length * 0.8, echo.lower()))
            t += length + rng.uniform(0.5, 6.0)
    write_meeting(
        folder_name(start, "Revisão de arquitetura"),
        meta("Revisão de arquitetura", start, "pt-BR", ["Carla Mendes", "Diego Rocha", "Eva Nunes"],
             end=start + timedelta(seconds=int(t) + 30), app="com.microsoft.teams2"),
        notes="latência pagamentos\ncache\nbackup na réplica\n",
        segments=segments)

    # 4. A title that the folder name must clean (written by a client that kept
    # the raw title in meta.json).
    start = datetime(2025, 3, 17, 18, 0, tzinfo=timezone.utc)
    raw_title = '1:1 Ana/Bruno — "Feedback" <Q1>?'
    cleaned = "1-1 Ana-Bruno — -Feedback- -Q1--"
    write_meeting(
        folder_name(start, cleaned),
        meta(raw_title, start, "pt-BR", ["Ana Souza"], end=start + timedelta(minutes=25)),
        notes="",
        segments=[seg("eu", 3.0, 7.5, "Queria começar pelo feedback da apresentação."),
                  seg("outros", 8.0, 14.0, "Claro. Achei a parte dos números muito clara."),
                  seg("outros", 14.5, 18.0, "Só faltou falar dos riscos.")])

    # 5. English, short, tied to a calendar event.
    start = datetime(2025, 3, 18, 14, 30, tzinfo=timezone.utc)
    write_meeting(
        folder_name(start, "Weekly sync"),
        meta("Weekly sync", start, "en-US", ["Priya Patel", "Tom Becker"], end=start + timedelta(minutes=15),
             calendarEventID="weekly-sync-20250318", app="com.google.Chrome"),
        notes="",
        segments=[seg("outros", 1.0, 5.0, "Morning! Quick round of updates?"),
                  seg("eu", 5.5, 11.0, "Sure. The export to Slack is done and in review."),
                  seg("outros", 11.5, 16.0, "Nice. I'm still blocked on the calendar permissions."),
                  seg("eu", 16.5, 19.0, "I can pair with you after lunch.")])


if __name__ == "__main__":
    main()
